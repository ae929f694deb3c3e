// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_PRIV_THREAD_H
#define ZVR3DECODER_PRIV_THREAD_H

#include <QList>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

#include "zvr3item.h"

class zvr3decoder_priv;

// The worker thread of one private decoder. The node's thread appends items to the queue; the
// worker takes the whole queue in one locked step and calls its owner's decode() for each item
// outside the lock. The mutex guards the queue and the stop flag.
class zvr3decoder_priv_thread : public QThread
{
    Q_OBJECT
public:
    explicit zvr3decoder_priv_thread(zvr3decoder_priv *owner);
    ~zvr3decoder_priv_thread() override;

    // Node's thread: queue an item for decoding; never waits for decoding.
    void enqueue(zvr3item item);

    // Node's thread: discard the queued items, let a running decode finish and wait for the thread
    // to end. Idempotent. After the stop wait (10 s) it warns and keeps waiting, because the
    // running decode works on its owner's state and the owner is about to go.
    void stop();

    // Test seam: the time stop() waits before it warns.
    void setStopWait(int milliseconds) { m_stopWait = milliseconds; }

    // Items queued or being decoded, summed over every worker of the process. When it reads 0,
    // everything the workers emitted has been posted to its receivers.
    static int outstanding();

protected:
    void run() override;

private:
    void work();

    zvr3decoder_priv *const m_owner;
    QMutex m_lock;
    QWaitCondition m_wake;
    std::atomic<bool> m_stop{false};  // written under m_lock; read without it between decodes
    QList<zvr3item> m_queue;
    int m_stopWait = 10000;
    // Set by the worker as its last step. QThread::wait() synchronises inside QtCore; reading this
    // after it makes the hand-over visible to ThreadSanitizer as well.
    std::atomic<bool> m_finished{false};
};

#endif // ZVR3DECODER_PRIV_THREAD_H
