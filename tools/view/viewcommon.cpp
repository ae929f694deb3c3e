#include "viewcommon.h"

#include <QTimeZone>

namespace zvr3view {

QString stateText(const zvr3stats &stats, qint64 msSinceStats)
{
    switch (stats.state) {
    case zvr3stats::Closed:
        return QStringLiteral("closed");
    case zvr3stats::Connecting:
        return stats.reconnects > 0 ? QStringLiteral("reconnecting") : QStringLiteral("connecting");
    case zvr3stats::Streaming:
        return QStringLiteral("streaming");
    case zvr3stats::Stalled:
        return QStringLiteral("stalled");
    case zvr3stats::WaitingToReconnect: {
        // Whole seconds left, rounded up: "in 0 s" never shows while still waiting.
        const qint64 left = qMax<qint64>(0, stats.nextAttemptMs - msSinceStats);
        return QStringLiteral("reconnecting in %1 s").arg((left + 999) / 1000);
    }
    case zvr3stats::Failed:
        return QStringLiteral("failed: %1").arg(stats.lastError.text.isEmpty() ? QStringLiteral("gave up") : stats.lastError.text);
    }
    return QString();
}

SourceState::SourceState(const QString &name, QObject *parent)
    : QObject(parent)
    , m_name(name)
{
    m_since.start();
}

void SourceState::setStats(const zvr3stats &stats)
{
    // The periodic records of an unchanged state keep the countdown's start.
    const bool same = stats.state == m_stats.state && stats.nextAttemptMs == m_stats.nextAttemptMs
                      && stats.attempt == m_stats.attempt;
    m_stats = stats;
    if (!same)
        m_since.restart();
    emit changed();
}

void SourceState::setState(zvr3stats::State state)
{
    if (state == m_stats.state)
        return;
    m_stats.state = state;
    m_since.restart();
    emit changed();
}

void SourceState::setClosedNote(const QString &note)
{
    m_closedNote = note;
    emit changed();
}

QString SourceState::stateOnly() const
{
    if (m_stats.state == zvr3stats::Closed && !m_closedNote.isEmpty())
        return m_closedNote;
    return stateText(m_stats, m_since.elapsed());
}

QString SourceState::text() const
{
    return m_name + QStringLiteral(": ") + stateOnly();
}

RecorderClock::RecorderClock(const QString &rule)
    : m_rule(rule)
    , m_tz(rule.isEmpty() ? "UTC+0UTC+0" : rule.toLatin1().constData())
{
}

QDateTime RecorderClock::toRecorder(const QDateTime &utc) const
{
    if (!utc.isValid())
        return QDateTime();
    const qint64 s = utc.toSecsSinceEpoch();
    const qint64 local = m_rule.isEmpty() ? s : qint64(m_tz.toLocal(static_cast<unsigned long>(s)));
    return QDateTime::fromMSecsSinceEpoch(local * 1000 + utc.toMSecsSinceEpoch() % 1000, QTimeZone::utc());
}

QDateTime RecorderClock::toUtc(const QDateTime &recorder) const
{
    if (!recorder.isValid())
        return QDateTime();
    // The digits as they read, whatever the QDateTime's own zone.
    const QDateTime digits(recorder.date(), recorder.time(), QTimeZone::utc());
    const qint64 s = digits.toSecsSinceEpoch();
    const qint64 utc = m_rule.isEmpty() ? s : qint64(m_tz.toGMT(static_cast<unsigned long>(s)));
    return QDateTime::fromMSecsSinceEpoch(utc * 1000 + digits.toMSecsSinceEpoch() % 1000, QTimeZone::utc());
}

QDateTime RecorderClock::utcOfRecorderMs(qint64 ms) const
{
    return toUtc(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()));
}

QString displayUrl(const QUrl &url)
{
    return url.adjusted(QUrl::RemovePassword).toString();
}

} // namespace zvr3view
