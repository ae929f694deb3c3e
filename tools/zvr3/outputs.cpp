#include "outputs.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QTimer>
#include <QUrl>
#include <QtEndian>

#include <cstdio>

#include "console.h"
#include "zvr3decoder.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3item.h"
#include "zvr3jsonl.h"
#include "zvr3position_info.h"
#include "zvr3records.h"
#include "zvr3saver.h"
#include "zvr3sound_buffer.h"

namespace zvr3out {

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

Outputs::Outputs(const QString &command, const QString &dir) : m_command(command), m_dir(dir)
{
}

Outputs::~Outputs()
{
    finishWav();
}

bool Outputs::take(const zvr3item &item)
{
    if (const auto picture = zvr3take<QImage>(item.value)) {
        const QString name = m_dir.filePath(QStringLiteral("frame-%1.png").arg(++m_frames, 6, 10, QLatin1Char('0')));
        // zlib's fastest level: live runs write a picture per channel every 40 ms.
        return picture->save(name, "PNG", 80) || fail(name);
    }
    if (const auto sound = zvr3take<zvr3sound_buffer>(item.value)) {
        if (!open(m_wav, QStringLiteral("audio.wav")))
            return false;
        if (m_wav.size() == 0)
            m_wav.write(QByteArray(44, '\0'));  // the header is written at the end
        if (m_rate == 0)
            m_rate = sound->rate;
        m_pcmBytes += sound->data.size();
        return m_wav.write(sound->data) == sound->data.size() || fail(m_wav.fileName());
    }
    if (const auto text = zvr3take<QString>(item.value)) {
        const QByteArray line = text->toUtf8() + '\n';
        return (open(m_texts, QStringLiteral("texts.txt")) && m_texts.write(line) == line.size()) || fail(m_texts.fileName());
    }
    if (zvr3holds<zvr3position_info>(item.value)) {
        const QByteArray line = zvr3jsonl::position(item.value) + '\n';
        return (open(m_positions, QStringLiteral("positions.jsonl")) && m_positions.write(line) == line.size())
            || fail(m_positions.fileName());
    }
    return true;
}

bool Outputs::finishWav()
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

bool Outputs::open(QFile &file, const QString &name)
{
    if (file.isOpen())
        return true;
    file.setFileName(m_dir.filePath(name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) || fail(file.fileName());
}

bool Outputs::fail(const QString &name) const
{
    std::fprintf(stderr, "%s: can't write '%s'\n", qPrintable(m_command), qPrintable(name));
    return false;
}

struct StreamOutputs::Stream
{
    std::unique_ptr<zvr3decoder> decoder;
    std::unique_ptr<Outputs> outputs;
};

StreamOutputs::StreamOutputs(const QString &command, const QString &dir) : m_command(command), m_dir(dir)
{
}

StreamOutputs::~StreamOutputs()
{
    finish();
    qDeleteAll(m_streams);
}

bool StreamOutputs::prepare()
{
    if (QDir().mkpath(m_dir))
        return true;
    std::fprintf(stderr, "%s: can't make the directory '%s'\n", qPrintable(m_command), qPrintable(m_dir));
    return false;
}

void StreamOutputs::take(const QVariant &value)
{
    if (m_finished)
        return;
    if (const auto header = zvr3take<HDR_T>(value)) {
        for (const STREAM_T &entry : header->streams) {
            const int number = int(entry.number);
            if (m_streams.contains(number))
                continue;
            const QString dir = QDir(m_dir).filePath(QStringLiteral("stream-%1").arg(number, 2, 10, QLatin1Char('0')));
            if (!QDir().mkpath(dir)) {
                std::fprintf(stderr, "%s: can't make the directory '%s'\n", qPrintable(m_command), qPrintable(dir));
                m_failed = true;
                continue;
            }
            auto *stream = new Stream;
            stream->decoder = std::make_unique<zvr3decoder>(number);
            stream->decoder->setQueueLimit(m_queueLimit);
            if (m_made)
                m_made(stream->decoder.get());
            stream->outputs = std::make_unique<Outputs>(m_command, dir);
            Outputs *outputs = stream->outputs.get();
            QObject::connect(stream->decoder.get(), &zvr3base::sigData, this, [this, outputs](const QVariant &item) {
                const auto taken = zvr3take<zvr3item>(item);
                if (!m_failed && taken && !outputs->take(*taken))
                    m_failed = true;
            });
            m_streams.insert(number, stream);
        }
    }
    for (Stream *stream : std::as_const(m_streams))
        stream->decoder->slotData(value);
}

bool StreamOutputs::finish()
{
    if (m_finished)
        return !m_failed;
    m_finished = true;
    drain(0);
    for (Stream *stream : std::as_const(m_streams)) {
        if (!stream->outputs->finishWav())
            m_failed = true;
    }
    return !m_failed;
}

Recorder::Recorder(const QString &file) : m_saver(std::make_unique<zvr3saver>())
{
    QObject::connect(m_saver.get(), &zvr3base::sigData, [this](const QVariant &value) {
        if (zvr3console::printValue(value))
            m_failed = true;
    });
    m_saver->open(QUrl::fromLocalFile(file));
}

Recorder::~Recorder()
{
    finish();
}

void Recorder::take(const QVariant &value)
{
    if (m_saver)
        m_saver->slotData(value);
}

void Recorder::finish()
{
    if (!m_saver)
        return;
    m_saver->close();
    m_saver.reset();
    // The saver hands its worker to the event loop for deletion.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void Sinks::addOptions(QCommandLineParser &options)
{
    options.addOption({QStringLiteral("out"),
                       QStringLiteral("Also decode every stream into DIR/stream-NN/: pictures as frame-000001.png, ..., "
                                      "sound as audio.wav, texts as texts.txt, positions as positions.jsonl."),
                       QStringLiteral("DIR")});
    options.addOption({QStringLiteral("queue-limit"),
                       QStringLiteral("With --out: at most this many records wait for each decoder; beyond, the oldest "
                                      "are dropped (video up to the next key frame). Default 0: no limit."),
                       QStringLiteral("N")});
    options.addOption({QStringLiteral("record"), QStringLiteral("Also record the stream to this archive file."),
                       QStringLiteral("FILE")});
}

bool Sinks::open(const QString &command, const QCommandLineParser &options, int queueLimit)
{
    if (options.isSet(QStringLiteral("out"))) {
        m_outputs = std::make_unique<StreamOutputs>(command, options.value(QStringLiteral("out")));
        m_outputs->setQueueLimit(queueLimit);
        if (!m_outputs->prepare())
            return false;
    }
    if (options.isSet(QStringLiteral("record"))) {
        m_recorder = std::make_unique<Recorder>(options.value(QStringLiteral("record")));
        // The saver reports a file it cannot open at once, on standard output and standard error.
        if (m_recorder->failed())
            return false;
    }
    return true;
}

void Sinks::onDecoder(const std::function<void(zvr3decoder *)> &made)
{
    if (m_outputs)
        m_outputs->onDecoder(made);
}

void Sinks::take(const QVariant &value)
{
    if (m_stopped)
        return;
    if (m_outputs)
        m_outputs->take(value);
    if (m_recorder)
        m_recorder->take(value);
}

int Sinks::finish(int exitCode)
{
    m_stopped = true;
    bool failed = false;
    if (m_outputs)
        failed |= !m_outputs->finish();
    if (m_recorder) {
        m_recorder->finish();
        failed |= m_recorder->failed();
    }
    std::fflush(stdout);
    return failed && exitCode == 0 ? 1 : exitCode;
}

} // namespace zvr3out
