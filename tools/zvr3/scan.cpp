// zvr3 scan: opens an archive file through the local archive source and prints what it emits: a
// seek entry per index record, then the list of text events, or the error that ended the scan.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

#include "commands.h"
#include "console.h"
#include "progress.h"
#include "zvr3archive.h"

int scanMain(const QStringList &arguments)
{
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Scans an archive file and prints its seek entries and text events as JSON Lines."));
    options.addHelpOption();
    options.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The archive file."));
    if (const int code = zvr3console::parseOptions(options, arguments); code >= 0)
        return code;
    if (options.positionalArguments().size() != 1)
        return zvr3console::usageError(QStringLiteral("give one archive file"));
    const QString path = options.positionalArguments().constFirst();

    bool failed = false;
    {
        zvr3archive archive;
        FileReadProgress progress("scanning", path);
        QObject::connect(&archive, &zvr3base::sigData, [&](const QVariant &value) {
            progress.stop();  // the scan is done once anything comes out
            if (zvr3console::printValue(value))
                failed = true;
        });
        archive.open(QUrl::fromLocalFile(path));
    }
    // The source hands its reader to the event loop for deletion; there is no loop to come.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    if (std::fflush(stdout) != 0)
        return 1;
    return failed ? 1 : 0;
}
