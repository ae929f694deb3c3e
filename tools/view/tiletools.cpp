#include "tiletools.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QMediaDevices>
#include <QUrlQuery>

#include "zvr3error.h"
#include "zvr3records.h"
#include "zvr3stats.h"
#include "zvr3value.h"

namespace zvr3view {

Snapshots::Snapshots(QObject *parent)
    : QObject(parent)
    , m_supervisor(&m_jpeg)
    , m_state(new SourceState(QStringLiteral("Snapshot"), this))
{
    // The marker behind each request carries where its picture goes: it comes right after the
    // request's one picture, in order, however many attempts the picture took.
    connect(&m_supervisor, &zvr3base::sigData, this, [this](const QVariant &value) {
        if (const auto stats = zvr3take<zvr3stats>(value)) {
            m_state->setStats(*stats);
        } else if (const auto image = zvr3take<QImage>(value)) {
            m_pending = *image;
            m_hasPending = true;
        } else if (const auto mark = zvr3take<QVariantList>(value)) {
            const int channel = mark->value(0).toInt();
            const QString path = mark->value(1).toString();
            const QString what = m_hasPending ? m_pending.text(QStringLiteral("description")) : QStringLiteral("error");
            if (m_hasPending && what == QLatin1String("ok")) {
                if (m_pending.save(path, "JPG", 90))
                    emit saved(channel, path, m_pending);
                else
                    emit failed(channel, QStringLiteral("can't write %1").arg(path));
            } else {
                emit failed(channel, what.isEmpty() ? QStringLiteral("error") : what);
            }
            m_hasPending = false;
            m_pending = QImage();
        }
    });
}

Snapshots::~Snapshots()
{
    m_supervisor.close();
}

void Snapshots::take(const QUrl &recorder, int channel, const QSize &size, const QString &path)
{
    QUrl url = recorder;
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("stream"), QString::number(channel));
    query.addQueryItem(QStringLiteral("width"), QString::number(size.width()));
    query.addQueryItem(QStringLiteral("height"), QString::number(size.height()));
    query.addQueryItem(QStringLiteral("quality"), QStringLiteral("90"));
    url.setQuery(query);
    m_supervisor.fetch(url);
    m_supervisor.mark(QVariantList{channel, path});
}

void Snapshots::close()
{
    m_supervisor.close();
}

Recording::Recording(const QUrl &recorder, int channel, const QString &path, QObject *parent)
    : QObject(parent)
    , m_channel(channel)
    , m_path(path)
    , m_supervisor(&m_online)
    , m_state(new SourceState(QStringLiteral("Recording channel %1").arg(channel), this))
{
    connect(&m_supervisor, &zvr3base::sigData, this, [this](const QVariant &value) {
        if (const auto stats = zvr3take<zvr3stats>(value)) {
            m_state->setStats(*stats);
            return;
        }
        if (const auto e = zvr3take<zvr3error>(value))
            emit error(e->text);
        else if (zvr3holds<DATA_T>(value))
            ++m_records;
        m_saver.slotData(value);
    });
    connect(&m_saver, &zvr3base::sigData, this, [this](const QVariant &value) {
        if (const auto e = zvr3take<zvr3error>(value))
            emit error(e->text);
    });
    m_saver.open(QUrl::fromLocalFile(path));
    // The live service starts with channels 0 to 3: only this one is kept.
    m_supervisor.open(recorder.adjusted(QUrl::RemoveQuery));
    QList<int> others;
    for (int c = 0; c < 4; ++c)
        if (c != channel)
            others.append(c);
    m_supervisor.hideChannels(others);
    m_supervisor.showChannels({channel});
}

Recording::~Recording()
{
    m_supervisor.close();
    m_saver.close();
}

SoundOut::SoundOut(QObject *parent)
    : QObject(parent)
{
    m_hasDevice = !QMediaDevices::defaultAudioOutput().isNull();
}

SoundOut::~SoundOut()
{
    if (m_sink)
        m_sink->stop();
}

QString SoundOut::status() const
{
    if (!m_enabled)
        return QStringLiteral("sound off");
    return m_hasDevice ? QStringLiteral("sound on") : QStringLiteral("sound: no audio device, silent");
}

void SoundOut::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    if (!enabled && m_sink) {
        m_sink->stop();
        delete m_sink;
        m_sink = nullptr;
        m_io = nullptr;
        m_rate = 0;
    }
    emit statusChanged(status());
}

void SoundOut::push(const zvr3sound_buffer &buffer)
{
    if (!m_enabled || !m_hasDevice || buffer.data.isEmpty())
        return;
    const int rate = buffer.rate > 0 ? buffer.rate : 8000;
    if (!m_sink || rate != m_rate) {
        delete m_sink;
        QAudioFormat format;
        format.setSampleRate(rate);
        format.setChannelCount(1);
        format.setSampleFormat(QAudioFormat::Int16);
        m_sink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, this);
        // About half a second in hand: live sound comes 40 ms at a time.
        m_sink->setBufferSize(rate);
        m_io = m_sink->start();
        m_rate = rate;
    }
    if (m_io) {
        // A device that has fallen behind drops what does not fit rather than piling up delay.
        const qint64 room = m_sink->bytesFree();
        const QByteArray &data = buffer.data;
        const qint64 n = qMin<qint64>(room, data.size()) & ~qint64(1);
        if (n > 0)
            m_bytes += m_io->write(data.constData(), n);
    }
}

} // namespace zvr3view
