#include "zvr3decoder_priv_thread.h"

#include "zvr3decoder_priv.h"
#include "zvr3logging_p.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {
std::atomic<int> outstandingItems{0};
std::function<void()> decodeHook;

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
    : m_owner(owner), m_counts(std::make_shared<zvr3decoder_priv_counts>())
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

void zvr3decoder_priv_thread::setDecodeHook(std::function<void()> hook)
{
    decodeHook = std::move(hook);
}

void zvr3decoder_priv_thread::setQueueLimit(int limit)
{
    QMutexLocker locker(&m_lock);
    m_limit = qMax(0, limit);
}

int zvr3decoder_priv_thread::queueLimit() const
{
    QMutexLocker locker(&m_lock);
    return m_limit;
}

void zvr3decoder_priv_thread::setCounts(std::shared_ptr<zvr3decoder_priv_counts> counts)
{
    QMutexLocker locker(&m_lock);
    if (counts)
        m_counts = std::move(counts);
}

bool zvr3decoder_priv_thread::startsChain(Entry &entry)
{
    if (entry.key < 0)
        entry.key = m_owner->startsChain(entry.item.data) ? 1 : 0;
    return entry.key == 1;
}

void zvr3decoder_priv_thread::dropOldestChain(QList<Entry> &discarded)
{
    discarded.append(m_queue.takeFirst());
    while (!m_queue.isEmpty() && !startsChain(m_queue.first()))
        discarded.append(m_queue.takeFirst());
    if (m_queue.isEmpty())
        m_awaitKey = true;
    else
        m_queue.first().resume = true;
}

void zvr3decoder_priv_thread::enqueue(zvr3item item)
{
    // Declared before the lock: the dropped items are released after it.
    QList<Entry> discarded;
    Entry entry{std::move(item)};
    QMutexLocker locker(&m_lock);
    if (m_stop.load(std::memory_order_relaxed))
        return;
    while (m_limit > 0 && m_queue.size() >= m_limit)
        dropOldestChain(discarded);
    const qsizetype dropped = discarded.size();
    if (m_awaitKey && !startsChain(entry)) {
        // Nothing that depends on a dropped record is decoded.
        m_counts->dropped.fetch_add(qint64(dropped) + 1, std::memory_order_relaxed);
        m_counts->queued.fetch_sub(qint64(dropped), std::memory_order_relaxed);
        outstandingItems.fetch_sub(int(dropped), std::memory_order_release);
        return;
    }
    entry.resume = m_awaitKey;
    m_awaitKey = false;
    m_counts->dropped.fetch_add(qint64(dropped), std::memory_order_relaxed);
    m_counts->queued.fetch_add(1 - qint64(dropped), std::memory_order_relaxed);
    outstandingItems.fetch_add(1 - int(dropped), std::memory_order_relaxed);
    m_queue.append(std::move(entry));
    m_wake.wakeAll();
}

void zvr3decoder_priv_thread::stop()
{
    QList<Entry> discarded;
    {
        QMutexLocker locker(&m_lock);
        m_stop.store(true, std::memory_order_relaxed);
        discarded.swap(m_queue);
        m_wake.wakeAll();
        m_counts->dropped.fetch_add(discarded.size(), std::memory_order_relaxed);
        m_counts->queued.fetch_sub(discarded.size(), std::memory_order_relaxed);
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
        QList<Entry> batch;
        zvr3decoder_priv_counts *counts = nullptr;
        {
            QMutexLocker locker(&m_lock);
            while (m_queue.isEmpty() && !m_stop.load(std::memory_order_relaxed))
                waitUnlocked(m_wake, m_lock);
            if (m_stop.load(std::memory_order_relaxed))
                return;
            if (m_limit > 0)
                batch.append(m_queue.takeFirst());
            else
                batch.swap(m_queue);
            counts = m_counts.get();
        }
        qsizetype done = 0;
        while (done < batch.size() && !m_stop.load(std::memory_order_relaxed)) {
            {
                // Each item goes as soon as it is decoded, with the picture or sound it holds.
                Entry entry = std::move(batch[done]);
                if (decodeHook)
                    decodeHook();
                if (entry.resume)
                    m_owner->resync();
                m_owner->decode(entry.item);
            }
            ++done;
            counts->decoded.fetch_add(1, std::memory_order_relaxed);
            counts->queued.fetch_sub(1, std::memory_order_relaxed);
            // After the emission: a reader that sees the count drop finds the item posted.
            outstandingItems.fetch_sub(1, std::memory_order_release);
        }
        const qsizetype left = batch.size() - done;
        counts->dropped.fetch_add(left, std::memory_order_relaxed);
        counts->queued.fetch_sub(left, std::memory_order_relaxed);
        outstandingItems.fetch_sub(int(left), std::memory_order_release);
    }
}
