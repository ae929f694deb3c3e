#include "zvr3decoder.h"

#include "zvr3decoder_priv.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3metatype_p.h"
#include "zvr3records.h"

#include <QMetaMethod>
#include <QPointer>

zvr3decoder::zvr3decoder(int stream)
    : m_stream(stream), m_counts(std::make_shared<zvr3decoder_priv_counts>()),
      m_outbox(std::make_unique<zvr3decoder_priv_outbox>())
{
}

zvr3decoder::~zvr3decoder()
{
    delete m_priv;
    // Decoders replaced by later headers that the event loop has not destroyed yet: stop them now,
    // so that no worker thread outlives the node.
    const QList<zvr3decoder_priv *> retired = findChildren<zvr3decoder_priv *>(Qt::FindDirectChildrenOnly);
    qDeleteAll(retired);
}

void zvr3decoder::slotData(const QVariant &data)
{
    if (zvr3holds<HDR_T>(data)) {
        if (m_priv) {
            // The old decoder goes on with what it has queued until the event loop destroys it;
            // as our child it is also stopped when we are destroyed first.
            m_priv->setParent(this);
            m_priv->deleteLater();
            m_priv = nullptr;
        }
        m_priv = zvr3decoder_priv::create(m_stream, data.value<HDR_T>());
        if (m_priv) {
            // Before the first record: the counts run on across decoders, the limit applies to all.
            m_priv->worker()->setCounts(m_counts);
            m_priv->worker()->setQueueLimit(m_queueLimit);
            // The worker emits on its own thread, straight into the outbox; the items leave through
            // our sigData on our thread, in the order the workers put them out. One queued call
            // takes every item that is there by the time it runs, so a worker that gets ahead of
            // our thread costs one wake-up for many items rather than one each.
            connect(m_priv, &zvr3decoder_priv::sigData, this, [this](const QVariant &item) {
                if (m_outbox->put(item))
                    queueDelivery();
            }, Qt::DirectConnection);
        }
        return;
    }
    if (m_priv)
        m_priv->slotData(data);
}

void zvr3decoder::deliver()
{
    // Only what is there now: items that come meanwhile wait for the next call, so that the events
    // queued behind this one are not held up by a worker that keeps putting items out. One item at
    // a time, so that a receiver that runs an event loop of its own (and with it this function
    // again) does not see the later items before the earlier ones.
    const QPointer<zvr3decoder> self(this);
    for (qsizetype n = m_outbox->size(); n > 0; --n) {
        QVariant item;
        if (!m_outbox->take(&item))
            return;
        Q_EMIT sigData(item);
        if (!self)
            return;  // a receiver destroyed the node
    }
    if (m_outbox->size() > 0)
        queueDelivery();
}

void zvr3decoder::queueDelivery()
{
    static const QMetaMethod deliverMethod = staticMetaObject.method(staticMetaObject.indexOfMethod("deliver()"));
    deliverMethod.invoke(this, Qt::QueuedConnection);
}

int zvr3decoder::queueLimit() const
{
    return m_queueLimit;
}

void zvr3decoder::setQueueLimit(int limit)
{
    m_queueLimit = qMax(0, limit);
    if (m_priv)
        m_priv->worker()->setQueueLimit(m_queueLimit);
}

zvr3decoder_counters zvr3decoder::counters() const
{
    zvr3typeId<zvr3decoder_counters>();
    zvr3decoder_counters c;
    c.decoded = m_counts->decoded.load(std::memory_order_relaxed);
    c.dropped = m_counts->dropped.load(std::memory_order_relaxed);
    c.queued = m_counts->queued.load(std::memory_order_relaxed);
    return c;
}
