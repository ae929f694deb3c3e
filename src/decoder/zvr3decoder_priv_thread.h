// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_PRIV_THREAD_H
#define ZVR3DECODER_PRIV_THREAD_H

#include <QList>
#include <QMutex>
#include <QThread>
#include <QVariant>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

#include "zvr3item.h"

class zvr3decoder_priv;

// The counts behind zvr3decoder::counters(), shared by a node and every private decoder it made.
// Written by the node's thread (records taken in or dropped on arrival) and by the workers
// (records decoded, or discarded when a worker stops); each count is exact whenever it is read.
struct zvr3decoder_priv_counts
{
    std::atomic<qint64> decoded{0};
    std::atomic<qint64> dropped{0};
    std::atomic<qint64> queued{0};
};

// The items on their way from the workers of a node to the node's thread, in the order they were
// put out. The lock orders the hand-over of each item (and the picture it holds) from the worker
// to the node's thread.
struct zvr3decoder_priv_outbox
{
    // Worker: adds an item. True when the box was empty, so that the node's thread must be asked
    // to deliver; otherwise a delivery has been asked for and has not yet taken the box's items.
    bool put(const QVariant &item)
    {
        const QMutexLocker locker(&lock);
        items.append(item);
        return items.size() == 1;
    }
    // Node's thread: takes the oldest item; false when there is none.
    bool take(QVariant *item)
    {
        const QMutexLocker locker(&lock);
        if (items.isEmpty())
            return false;
        *item = items.takeFirst();
        return true;
    }
    qsizetype size() const
    {
        const QMutexLocker locker(&lock);
        return items.size();
    }

    mutable QMutex lock;
    QList<QVariant> items;
};

// The worker thread of one private decoder. The node's thread appends items to the queue; the
// worker takes the whole queue in one locked step and calls its owner's decode() for each item
// outside the lock. The mutex guards the queue, the stop flag and the queue limit.
//
// With a queue limit the worker takes one item at a time instead, so that every item not yet
// being decoded waits in the queue, where the node's thread can drop it. A record that arrives at
// a full queue drops the oldest one and with it every queued record that cannot be decoded
// without it, up to the next record that starts a chain of its own (a key frame; for decoders
// whose records stand alone, the very next one). When no such record is queued, the arriving
// records are dropped too until one arrives. The record where decoding goes on is marked, and the
// owner forgets what it kept of the dropped ones (resync()) before it decodes it.
class zvr3decoder_priv_thread : public QThread
{
    Q_OBJECT
public:
    explicit zvr3decoder_priv_thread(zvr3decoder_priv *owner);
    ~zvr3decoder_priv_thread() override;

    // Node's thread: queue an item for decoding, or drop it (see above); never waits for decoding.
    void enqueue(zvr3item item);

    // Node's thread: the most items that wait in the queue; 0 (the default): no limit. It applies
    // to the items that arrive from then on.
    void setQueueLimit(int limit);
    int queueLimit() const;

    // Node's thread, before the first item: the counts to keep (by default the worker's own).
    void setCounts(std::shared_ptr<zvr3decoder_priv_counts> counts);
    const std::shared_ptr<zvr3decoder_priv_counts> &counts() const { return m_counts; }

    // Node's thread: discard the queued items, let a running decode finish and wait for the thread
    // to end. Idempotent. After the stop wait (10 s) it warns and keeps waiting, because the
    // running decode works on its owner's state and the owner is about to go.
    void stop();

    // Test seam: the time stop() waits before it warns.
    void setStopWait(int milliseconds) { m_stopWait = milliseconds; }

    // Items queued or being decoded, summed over every worker of the process. When it reads 0,
    // everything the workers emitted has been posted to its receivers.
    static int outstanding();

    // Test seam: called on the worker thread each time it has taken an item, before decoding it.
    // Set it only while no worker runs.
    static void setDecodeHook(std::function<void()> hook);

protected:
    void run() override;

private:
    struct Entry
    {
        zvr3item item;
        signed char key = -1;  // starts a chain of its own: 1 yes, 0 no, -1 not asked yet
        bool resume = false;   // records before it were dropped: the owner resyncs first
    };
    bool startsChain(Entry &entry);
    // Under the lock: drops the oldest entry and the ones that depend on it into discarded.
    void dropOldestChain(QList<Entry> &discarded);
    void work();

    zvr3decoder_priv *const m_owner;
    mutable QMutex m_lock;
    QWaitCondition m_wake;
    std::atomic<bool> m_stop{false};  // written under m_lock; read without it between decodes
    QList<Entry> m_queue;
    int m_limit = 0;
    bool m_awaitKey = false;  // a chain was cut: arriving records are dropped until one starts a chain
    std::shared_ptr<zvr3decoder_priv_counts> m_counts;
    int m_stopWait = 10000;
    // Set by the worker as its last step. QThread::wait() synchronises inside QtCore; reading this
    // after it makes the hand-over visible to ThreadSanitizer as well.
    std::atomic<bool> m_finished{false};
};

#endif // ZVR3DECODER_PRIV_THREAD_H
