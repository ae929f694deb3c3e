// zvr3 record: reads an archive stream through the stream parser into the archive saver, the
// offline counterpart of recording a live stream. The output file reads back with the same
// headers, index records and data records; chunk headers and bytes outside the stream's structure
// are not kept.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

#include "commands.h"
#include "console.h"
#include "input.h"
#include "progress.h"
#include "stop.h"
#include "zvr3parser.h"
#include "zvr3saver.h"

int recordMain(const QStringList &arguments)
{
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Records an archive stream to an archive file through the stream parser and the saver.\n"
        "Errors of the saver are printed as JSON Lines and end the run with exit code 1. On SIGINT or\n"
        "SIGTERM the file keeps what has been recorded."));
    options.addHelpOption();
    options.addPositionalArgument(QStringLiteral("input"), QStringLiteral("The stream, or - for standard input."));
    options.addPositionalArgument(QStringLiteral("output"), QStringLiteral("The archive file to write."));
    if (const int code = zvr3console::parseOptions(options, arguments); code >= 0)
        return code;
    const QStringList files = options.positionalArguments();
    if (files.size() != 2)
        return zvr3console::usageError(QStringLiteral("give an input (or -) and an output file"));

    Input input;
    if (!input.open(files.at(0)))
        return 1;

    bool failed = false;
    {
        zvr3parser parser;
        zvr3saver saver;
        QObject::connect(&parser, &zvr3base::sigData, &saver, &zvr3base::slotData);
        QObject::connect(&saver, &zvr3base::sigData, [&failed](const QVariant &value) {
            if (zvr3console::printValue(value))
                failed = true;
        });

        saver.open(QUrl::fromLocalFile(files.at(1)));
        Progress progress("recording", input.size());
        qint64 done = 0;
        while (!failed) {
            const QByteArray chunk = input.read(65536);
            if (chunk.isEmpty())
                break;
            parser.slotData(chunk);
            done += chunk.size();
            progress.update(done);
        }
        progress.finish();
        // What has been recorded stays a whole file, also when a signal ended the reading.
        saver.close();
    }
    // The saver hands its worker to the event loop for deletion; there is no loop to come.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    if (!input.finish())
        return 1;
    if (std::fflush(stdout) != 0)
        return 1;
    if (zvr3stop::signal())
        return zvr3stop::exitCode();
    return failed ? 1 : 0;
}
