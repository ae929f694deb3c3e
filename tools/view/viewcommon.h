// Small pieces the viewer's windows share: how a source's state reads, and the recorder's clock.
#ifndef ZVR3VIEW_VIEWCOMMON_H
#define ZVR3VIEW_VIEWCOMMON_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QUrl>

#include "zvr3stats.h"
#include "zvr3tz.h"

namespace zvr3view {

// The state of a supervised source as the user reads it: "connecting", "streaming",
// "reconnecting in N s", "stalled", "failed: why", "closed". The countdown of a wait to reconnect
// runs from the moment the record was taken (a SourceState keeps that moment).
QString stateText(const zvr3stats &stats, qint64 msSinceStats = 0);

// The last state of one source and when it came, so that a countdown can be drawn at any time.
class SourceState : public QObject
{
    Q_OBJECT
public:
    explicit SourceState(const QString &name, QObject *parent = nullptr);
    QString name() const { return m_name; }
    void setStats(const zvr3stats &stats);
    void setState(zvr3stats::State state);   // keeps the rest of the last record
    // What a closed source says instead of "closed" (a request source that has its answer).
    void setClosedNote(const QString &note);
    zvr3stats stats() const { return m_stats; }
    // "Live: reconnecting in 2 s".
    QString text() const;
    QString stateOnly() const;

signals:
    void changed();

private:
    QString m_name;
    QString m_closedNote;
    zvr3stats m_stats;
    QElapsedTimer m_since;
};

// The recorder's clock: its time-zone rule converts between UTC and the recorder's local
// wall-clock reading. An empty rule is a recorder that keeps UTC. Recorder readings are QDateTimes
// in UTC whose digits are the recorder's (what the recorder's services read and write).
class RecorderClock
{
public:
    explicit RecorderClock(const QString &rule = QString());
    QString rule() const { return m_rule; }
    QDateTime toRecorder(const QDateTime &utc) const;
    QDateTime toUtc(const QDateTime &recorder) const;
    // An event's or record's milliseconds on the recorder's clock, as UTC.
    QDateTime utcOfRecorderMs(qint64 ms) const;

private:
    QString m_rule;
    zvr3tz m_tz;
};

// The URL without its password, as it is remembered and shown.
QString displayUrl(const QUrl &url);

} // namespace zvr3view

#endif
