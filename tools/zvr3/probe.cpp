// zvr3 probe: feeds a file to one of the parsers in chunks and prints every value it emits.
#include <QCommandLineParser>

#include <cstdio>
#include <memory>

#include "commands.h"
#include "console.h"
#include "evtparser.h"
#include "id3parser.h"
#include "input.h"
#include "stop.h"
#include "zvr3parser.h"

int probeMain(const QStringList &arguments)
{
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Prints the records of an archive stream, index file or event file as JSON Lines."));
    options.addHelpOption();
    options.addOption({QStringLiteral("format"),
                       QStringLiteral("What the input is: stream (default), index or events."),
                       QStringLiteral("format"), QStringLiteral("stream")});
    options.addOption({QStringLiteral("chunk-size"),
                       QStringLiteral("Feed the parser N bytes at a time (default 65536)."),
                       QStringLiteral("N"), QStringLiteral("65536")});
    options.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The input file, or - for standard input."));
    if (const int code = zvr3console::parseOptions(options, arguments); code >= 0)
        return code;
    if (options.positionalArguments().size() != 1)
        return zvr3console::usageError(QStringLiteral("give one input file (or -)"));

    bool ok = false;
    const qint64 chunkSize = options.value(QStringLiteral("chunk-size")).toLongLong(&ok);
    if (!ok || chunkSize < 1 || chunkSize > (1 << 30)) {
        std::fprintf(stderr, "zvr3 probe: --chunk-size takes a number of bytes from 1 to 1073741824\n");
        return 2;
    }

    const QString format = options.value(QStringLiteral("format"));
    std::unique_ptr<zvr3parserbase> parser;
    if (format == QLatin1String("stream"))
        parser = std::make_unique<zvr3parser>();
    else if (format == QLatin1String("index"))
        parser = std::make_unique<id3parser>();
    else if (format == QLatin1String("events"))
        parser = std::make_unique<evtparser>();
    else {
        std::fprintf(stderr, "zvr3 probe: --format is stream, index or events, not '%s'\n", qPrintable(format));
        return 2;
    }

    Input input;
    if (!input.open(options.positionalArguments().constFirst()))
        return 1;

    QObject::connect(parser.get(), &zvr3base::sigData, [](const QVariant &value) { zvr3console::printValue(value); });
    for (;;) {
        const QByteArray chunk = input.read(chunkSize);
        if (chunk.isEmpty())
            break;
        parser->slotData(chunk);
    }
    if (!input.finish())
        return 1;
    if (std::fflush(stdout) != 0)
        return 1;
    return zvr3stop::signal() ? zvr3stop::exitCode() : 0;
}
