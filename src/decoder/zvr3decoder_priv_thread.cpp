#include "zvr3decoder_priv_thread.h"

#include "zvr3decoder_priv.h"
#include "zvr3logging_p.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {
std::atomic<int> outstandingItems{0};

// QWaitCondition releases and retakes the mutex inside QtCore, out of ThreadSanitizer's sight,
// while QMutex's inline lock and unlock tell it about theirs. Tell it about the wait's too, or it
// takes the wait for a thread that holds the lock throughout.
void waitUnlocked(QWaitCondition &condition, QMutex &lock)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_unlock(&lock, 0);
    __tsan_mutex_post_unlock(&lock, 0);
#endif
    condition.wait(&lock);
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(&lock, 0);
    __tsan_mutex_post_lock(&lock, 0, 0);
#endif
}
}

zvr3decoder_priv_thread::zvr3decoder_priv_thread(zvr3decoder_priv *owner)
    : m_owner(owner)
{
}

zvr3decoder_priv_thread::~zvr3decoder_priv_thread()
{
    stop();
}

int zvr3decoder_priv_thread::outstanding()
{
    return outstandingItems.load(std::memory_order_acquire);
}

void zvr3decoder_priv_thread::enqueue(zvr3item item)
{
    QMutexLocker locker(&m_lock);
    if (m_stop.load(std::memory_order_relaxed))
        return;
    outstandingItems.fetch_add(1, std::memory_order_relaxed);
    m_queue.append(std::move(item));
    m_wake.wakeAll();
}

void zvr3decoder_priv_thread::stop()
{
    QList<zvr3item> discarded;
    {
        QMutexLocker locker(&m_lock);
        m_stop.store(true, std::memory_order_relaxed);
        discarded.swap(m_queue);
        m_wake.wakeAll();
    }
    outstandingItems.fetch_sub(int(discarded.size()), std::memory_order_release);
    if (currentThread() == this)
        return;
    if (isRunning() && !wait(m_stopWait)) {
        qCWarning(lcZvr3Decoder, "decoder of stream %d still busy after %d ms; waiting for it to finish",
                  m_owner->stream().number, m_stopWait);
        wait();
    }
    m_finished.load(std::memory_order_acquire);
}

void zvr3decoder_priv_thread::run()
{
    work();
    m_finished.store(true, std::memory_order_release);
}

void zvr3decoder_priv_thread::work()
{
    for (;;) {
        QList<zvr3item> batch;
        {
            QMutexLocker locker(&m_lock);
            while (m_queue.isEmpty() && !m_stop.load(std::memory_order_relaxed))
                waitUnlocked(m_wake, m_lock);
            if (m_stop.load(std::memory_order_relaxed))
                return;
            batch.swap(m_queue);
        }
        qsizetype done = 0;
        while (done < batch.size() && !m_stop.load(std::memory_order_relaxed)) {
            {
                // Each item goes as soon as it is decoded, with the picture or sound it holds.
                zvr3item item = std::move(batch[done]);
                m_owner->decode(item);
            }
            ++done;
            // After the emission: a reader that sees the count drop finds the item posted.
            outstandingItems.fetch_sub(1, std::memory_order_release);
        }
        outstandingItems.fetch_sub(int(batch.size() - done), std::memory_order_release);
    }
}
