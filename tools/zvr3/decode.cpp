// zvr3 decode: feeds an archive stream through a parser and a decoder for one stream number and
// prints every decoded item; optionally writes the pictures, sound, texts and positions to files.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QTimer>
#include <QtEndian>

#include <cstdio>
#include <memory>

#include "commands.h"
#include "zvr3decoder.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3item.h"
#include "zvr3jsonl.h"
#include "zvr3parser.h"
#include "zvr3position_info.h"
#include "zvr3sound_buffer.h"

namespace {

// How many items may wait for the decoder before reading pauses, so that a long recording does not
// pile up in memory.
constexpr int MaxQueued = 64;

// Runs the event loop until the decoders have no more than `limit` items queued or being decoded,
// then delivers what they have emitted.
void drain(int limit)
{
    if (zvr3decoder_priv_thread::outstanding() > limit) {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (zvr3decoder_priv_thread::outstanding() <= limit)
                loop.quit();
        });
        poll.start(2);
        loop.exec();
    }
    QCoreApplication::processEvents();
}

// Writes what --out asks for: frame-NNNNNN.png, audio.wav, texts.txt and positions.jsonl, each made
// when the first value of its kind arrives.
class Outputs
{
public:
    explicit Outputs(const QString &dir) : m_dir(dir) {}
    ~Outputs() { finishWav(); }

    bool take(const zvr3item &item)
    {
        const QMetaType type = item.value.metaType();
        if (type == QMetaType::fromType<QImage>()) {
            const QString name = m_dir.filePath(QStringLiteral("frame-%1.png").arg(++m_frames, 6, 10, QLatin1Char('0')));
            return item.value.value<QImage>().save(name, "PNG") || fail(name);
        }
        if (type == QMetaType::fromType<zvr3sound_buffer>()) {
            const zvr3sound_buffer sound = item.value.value<zvr3sound_buffer>();
            if (!open(m_wav, QStringLiteral("audio.wav")))
                return false;
            if (m_wav.size() == 0)
                m_wav.write(QByteArray(44, '\0'));  // the header is written at the end
            if (m_rate == 0)
                m_rate = sound.rate;
            m_pcmBytes += sound.data.size();
            return m_wav.write(sound.data) == sound.data.size() || fail(m_wav.fileName());
        }
        if (type == QMetaType::fromType<QString>()) {
            const QByteArray line = item.value.toString().toUtf8() + '\n';
            return (open(m_texts, QStringLiteral("texts.txt")) && m_texts.write(line) == line.size()) || fail(m_texts.fileName());
        }
        if (type == QMetaType::fromType<zvr3position_info>()) {
            const QByteArray line = zvr3jsonl::position(item.value) + '\n';
            return (open(m_positions, QStringLiteral("positions.jsonl")) && m_positions.write(line) == line.size())
                || fail(m_positions.fileName());
        }
        return true;
    }

    bool finishWav()
    {
        if (!m_wav.isOpen())
            return true;
        // 16-bit mono PCM; a stream that never named its rate is written as 8000 samples a second.
        const quint32 rate = m_rate > 0 ? quint32(m_rate) : 8000;
        QByteArray header;
        auto u32 = [&](quint32 v) { header += QByteArray(4, '\0'); qToLittleEndian(v, header.data() + header.size() - 4); };
        auto u16 = [&](quint16 v) { header += QByteArray(2, '\0'); qToLittleEndian(v, header.data() + header.size() - 2); };
        header += "RIFF";
        u32(quint32(36 + m_pcmBytes));
        header += "WAVEfmt ";
        u32(16);
        u16(1);         // PCM
        u16(1);         // channels
        u32(rate);
        u32(rate * 2);  // bytes per second
        u16(2);         // bytes per sample frame
        u16(16);        // bits per sample
        header += "data";
        u32(quint32(m_pcmBytes));
        const bool ok = m_wav.seek(0) && m_wav.write(header) == header.size();
        m_wav.close();
        return ok || fail(m_wav.fileName());
    }

private:
    bool open(QFile &file, const QString &name)
    {
        if (file.isOpen())
            return true;
        file.setFileName(m_dir.filePath(name));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) || fail(file.fileName());
    }
    static bool fail(const QString &name)
    {
        std::fprintf(stderr, "zvr3 decode: can't write '%s'\n", qPrintable(name));
        return false;
    }

    QDir m_dir;
    int m_frames = 0;
    QFile m_wav;
    QFile m_texts;
    QFile m_positions;
    int m_rate = 0;
    qint64 m_pcmBytes = 0;
};

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
    if (!options.parse(arguments)) {
        std::fprintf(stderr, "zvr3 decode: %s\n", qPrintable(options.errorText()));
        return 2;
    }
    if (options.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(options.helpText()), stdout);
        return 0;
    }
    if (!options.isSet(QStringLiteral("stream"))) {
        std::fprintf(stderr, "zvr3 decode: --stream N is required\n");
        return 2;
    }
    bool ok = false;
    const int stream = options.value(QStringLiteral("stream")).toInt(&ok);
    if (!ok || stream < 0 || stream > 255) {
        std::fprintf(stderr, "zvr3 decode: --stream takes a stream number from 0 to 255\n");
        return 2;
    }
    if (options.positionalArguments().size() != 1) {
        std::fprintf(stderr, "zvr3 decode: give one input file (or -)\n");
        return 2;
    }

    const QString path = options.positionalArguments().constFirst();
    QFile input;
    const bool opened = path == QLatin1String("-") ? input.open(stdin, QIODevice::ReadOnly)
                                                  : (input.setFileName(path), input.open(QIODevice::ReadOnly));
    if (!opened) {
        std::fprintf(stderr, "zvr3 decode: can't open '%s': %s\n", qPrintable(path), qPrintable(input.errorString()));
        return 1;
    }

    std::unique_ptr<Outputs> outputs;
    if (options.isSet(QStringLiteral("out"))) {
        const QString dir = options.value(QStringLiteral("out"));
        if (!QDir().mkpath(dir)) {
            std::fprintf(stderr, "zvr3 decode: can't make the directory '%s'\n", qPrintable(dir));
            return 1;
        }
        outputs = std::make_unique<Outputs>(dir);
    }

    zvr3parser parser;
    zvr3decoder decoder(stream);
    bool writeFailed = false;
    QObject::connect(&parser, &zvr3base::sigData, &decoder, [&](const QVariant &value) {
        // A new header replaces the decoder, and the old one drops what it has not decoded when the
        // event loop destroys it: let it finish first, so that every record is decoded.
        if (value.metaType() == QMetaType::fromType<HDR_T>())
            drain(0);
        decoder.slotData(value);
    });
    QObject::connect(&decoder, &zvr3base::sigData, [&](const QVariant &value) {
        const QByteArray line = zvr3jsonl::line(value) + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        if (outputs && !writeFailed && !outputs->take(value.value<zvr3item>()))
            writeFailed = true;
    });
    for (;;) {
        const QByteArray chunk = input.read(65536);
        if (chunk.isEmpty())
            break;
        parser.slotData(chunk);
        drain(MaxQueued);
    }
    drain(0);
    if (input.error() != QFileDevice::NoError) {
        std::fprintf(stderr, "zvr3 decode: reading '%s' failed: %s\n", qPrintable(path), qPrintable(input.errorString()));
        return 1;
    }
    if (outputs && !outputs->finishWav())
        writeFailed = true;
    return std::fflush(stdout) == 0 && !writeFailed ? 0 : 1;
}
