#include "zvr3decoder_priv.h"

#include "zvr3decoder_priv_ima1.h"
#include "zvr3decoder_priv_nmea.h"
#include "zvr3decoder_priv_text.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3decoder_priv_video.h"
#include "zvr3metatype_p.h"

namespace {
enum StreamType { Video = 1, Audio = 2, Text = 4 };

// Text streams: "text" and the names that state the character set. The text decoder reads the set
// from the name's suffix.
bool isTextCodec(const QString &codec)
{
    static const char *const names[] = {"text", "text-none", "text-utf8", "text-utf-8", "text-koi8", "text-koi8r"};
    for (const char *name : names) {
        if (codec == QLatin1String(name))
            return true;
    }
    return false;
}
}

bool zvr3decoder_priv::mStartWorkers = true;

void zvr3decoder_priv::setStartWorkers(bool start)
{
    mStartWorkers = start;
}

zvr3decoder_priv::zvr3decoder_priv(const STREAM_T &stream)
    : m_stream(stream)
{
    // Receivers on other threads (the tests, the fuzz targets) take sigData through queued
    // connections, which copy the QVariant.
    qRegisterMetaType<QVariant>("QVariant");
    zvr3typeId<zvr3item>();
    m_worker = new zvr3decoder_priv_thread(this);
    if (mStartWorkers)
        m_worker->start(QThread::InheritPriority);
}

zvr3decoder_priv::~zvr3decoder_priv()
{
    stopWorker();
    // The worker has finished: nothing can reach it any more, so it goes at once rather than
    // through the event loop (which may never run again when the application is shutting down).
    delete m_worker;
}

void zvr3decoder_priv::stopWorker()
{
    m_worker->stop();
}

zvr3decoder_priv *zvr3decoder_priv::create(int stream, const HDR_T &header)
{
    for (const STREAM_T &entry : header.streams) {
        if (entry.number != stream)
            continue;
        if (entry.type == Video)
            return new zvr3decoder_priv_video(entry);
        if (entry.type == Audio && entry.codec == QLatin1String("ima1"))
            return new zvr3decoder_priv_ima1(entry);
        if (entry.type == Text && isTextCodec(entry.codec))
            return new zvr3decoder_priv_text(entry);
        if (entry.type == Text && entry.codec == QLatin1String("nmea"))
            return new zvr3decoder_priv_nmea(entry);
        return new zvr3decoder_priv(entry);
    }
    return nullptr;
}

void zvr3decoder_priv::slotData(const QVariant &data)
{
    // An IDX_T is taken in without effect; only whole frames of our stream are decoded.
    if (!zvr3holds<zvr3parser_combined_DATA_T>(data))
        return;
    const auto *record = static_cast<const zvr3parser_combined_DATA_T *>(data.constData());
    if (record->stream != uint(m_stream.number))
        return;
    zvr3item item;
    item.stream = m_stream;
    item.time = record->time;
    item.duration = 40;
    item.extra = int(record->extra);
    item.level = int(record->level) * 100 / 31;
    item.data = record->data;
    m_worker->enqueue(std::move(item));
}

void zvr3decoder_priv::decode(zvr3item &item)
{
    emitItem(item);
}

bool zvr3decoder_priv::startsChain(const QByteArray &) const
{
    return true;
}

void zvr3decoder_priv::resync()
{
}

void zvr3decoder_priv::emitItem(const zvr3item &item)
{
    Q_EMIT sigData(zvr3value(item));
}

