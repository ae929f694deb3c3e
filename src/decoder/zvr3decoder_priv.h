// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_PRIV_H
#define ZVR3DECODER_PRIV_H

#include <QObject>
#include <QVariant>

#include "zvr3item.h"
#include "zvr3records.h"

class zvr3decoder_priv_thread;

// The decoder of one stream, made by zvr3decoder from the stream's header entry. slotData() runs on
// the node's thread and queues the stream's whole frames as items; decode() runs on the worker
// thread, once per item in queue order, and emits sigData() there. This base class passes the
// items on with an empty value; the subclasses for video, IMA ADPCM, text and NMEA fill it.
//
// Every subclass must call stopWorker() first thing in its destructor: the worker may be inside
// decode() and must be finished before the subclass's state goes away.
class zvr3decoder_priv : public QObject
{
    Q_OBJECT
public:
    explicit zvr3decoder_priv(const STREAM_T &stream);
    ~zvr3decoder_priv() override;

    // The decoder that suits the first entry of header numbered stream, or none when there is no
    // such entry.
    static zvr3decoder_priv *create(int stream, const HDR_T &header);

    const STREAM_T &stream() const { return m_stream; }

    zvr3decoder_priv_thread *worker() const { return m_worker; }

    // Test seam: with false, private decoders made from then on do not start their worker thread,
    // and only direct calls of decode() decode. The fuzz targets call decode() themselves, with a
    // new decoder for every input, and would otherwise start and end a thread each time.
    static void setStartWorkers(bool start);

Q_SIGNALS:
    void sigData(const QVariant &data);

public Q_SLOTS:
    virtual void slotData(const QVariant &data);

public:
    // Runs on the worker thread. Decodes one item and emits it (or not).
    virtual void decode(zvr3item &item);

    // Whether decoding can start at a record with this payload, without any record before it. The
    // worker asks when it has to drop records (a queue limit); the base says yes: its records stand
    // alone. Runs on the node's thread, so it must not touch the decoding state.
    virtual bool startsChain(const QByteArray &payload) const;
    // Runs on the worker thread before the first record decoded after records were dropped: forget
    // what was kept from the records before. The base keeps nothing.
    virtual void resync();

protected:
    void emitItem(const zvr3item &item);
    // Stops the worker and waits for a running decode() to finish; idempotent.
    void stopWorker();

    const STREAM_T m_stream;

private:
    zvr3decoder_priv_thread *m_worker = nullptr;
    static bool mStartWorkers;
};

#endif // ZVR3DECODER_PRIV_H
