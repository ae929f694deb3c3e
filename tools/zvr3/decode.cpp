// zvr3 decode: feeds an archive stream through a parser and a decoder for one stream number and
// prints every decoded item; optionally writes the pictures, sound, texts and positions to files.
#include <QCommandLineParser>
#include <QDir>

#include <cstdio>
#include <memory>

#include "commands.h"
#include "console.h"
#include "input.h"
#include "outputs.h"
#include "stop.h"
#include "zvr3decoder.h"
#include "zvr3item.h"
#include "zvr3parser.h"

namespace {

// How many items may wait for the decoder before reading pauses, so that a long recording does not
// pile up in memory.
constexpr int MaxQueued = 64;

} // namespace

int decodeMain(const QStringList &arguments)
{
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Decodes one stream of an archive stream and prints every decoded item as JSON Lines.\n"
        "With --out, writes the pictures as frame-000001.png, ..., the sound as audio.wav, the texts\n"
        "as texts.txt and the positions as positions.jsonl (each file only when the stream has such items)."));
    options.addHelpOption();
    options.addOption({QStringLiteral("stream"), QStringLiteral("The stream number to decode (0 to 255)."), QStringLiteral("N")});
    options.addOption({QStringLiteral("out"), QStringLiteral("Write the decoded items into this directory."), QStringLiteral("DIR")});
    options.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The archive stream, or - for standard input."));
    if (const int code = zvr3console::parseOptions(options, arguments); code >= 0)
        return code;
    if (!options.isSet(QStringLiteral("stream")))
        return zvr3console::usageError(QStringLiteral("--stream N is required"));
    bool ok = false;
    const int stream = options.value(QStringLiteral("stream")).toInt(&ok);
    if (!ok || stream < 0 || stream > 255)
        return zvr3console::usageError(QStringLiteral("--stream takes a stream number from 0 to 255"));
    if (options.positionalArguments().size() != 1)
        return zvr3console::usageError(QStringLiteral("give one input file (or -)"));

    Input input;
    if (!input.open(options.positionalArguments().constFirst()))
        return 1;

    std::unique_ptr<zvr3out::Outputs> outputs;
    if (options.isSet(QStringLiteral("out"))) {
        const QString dir = options.value(QStringLiteral("out"));
        if (!QDir().mkpath(dir)) {
            std::fprintf(stderr, "zvr3 decode: can't make the directory '%s'\n", qPrintable(dir));
            return 1;
        }
        outputs = std::make_unique<zvr3out::Outputs>(QStringLiteral("zvr3 decode"), dir);
    }

    zvr3parser parser;
    zvr3decoder decoder(stream);
    bool writeFailed = false;
    QObject::connect(&parser, &zvr3base::sigData, &decoder, [&](const QVariant &value) {
        // A new header replaces the decoder, and the old one drops what it has not decoded when the
        // event loop destroys it: let it finish first, so that every record is decoded.
        if (zvr3holds<HDR_T>(value))
            zvr3out::drain(0);
        decoder.slotData(value);
    });
    QObject::connect(&decoder, &zvr3base::sigData, [&](const QVariant &value) {
        zvr3console::printValue(value);
        const auto item = zvr3take<zvr3item>(value);
        if (outputs && item && !writeFailed && !outputs->take(*item))
            writeFailed = true;
    });
    for (;;) {
        const QByteArray chunk = input.read(65536);
        if (chunk.isEmpty())
            break;
        parser.slotData(chunk);
        zvr3out::drain(MaxQueued);
    }
    // Also after a signal: what has been read is decoded, and the files are finished.
    zvr3out::drain(0);
    if (!input.finish())
        return 1;
    if (outputs && !outputs->finishWav())
        writeFailed = true;
    if (std::fflush(stdout) != 0)
        return 1;
    if (zvr3stop::signal())
        return zvr3stop::exitCode();
    return writeFailed ? 1 : 0;
}
