#include "zvr3decoder.h"

#include "zvr3decoder_priv.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3metatype_p.h"
#include "zvr3records.h"

zvr3decoder::zvr3decoder(int stream)
    : m_stream(stream), m_counts(std::make_shared<zvr3decoder_priv_counts>())
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
            // Automatic connection: the worker emits on its own thread, so the items are queued and
            // leave through our sigData on our thread, in the order the worker emitted them.
            connect(m_priv, &zvr3decoder_priv::sigData, this, [this](const QVariant &item) {
                zvr3decoder_priv::acquireEmitted();
                Q_EMIT sigData(item);
            });
        }
        return;
    }
    if (m_priv)
        m_priv->slotData(data);
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
