// Archive playback: a zvr3player in archive mode with a zoomable timeline of one day on which the
// recorder's events (its event list, through zvr3events behind a zvr3supervisor) are marked, an
// event list beside the pictures, play/pause, rates from ¼× to 16×, and the position in the
// recorder's local time and in UTC.
#ifndef ZVR3VIEW_ARCHIVEVIEW_H
#define ZVR3VIEW_ARCHIVEVIEW_H

#include <QDate>
#include <QDateTime>
#include <QUrl>
#include <QVector>
#include <QWidget>

#include "videotile.h"
#include "viewcommon.h"
#include "zvr3events.h"
#include "zvr3player.h"
#include "zvr3supervisor.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace zvr3view {

struct TimelineEvent
{
    QDateTime utc;
    int number = 0;   // the event's number (the simulator: its channel)
    QString text;
};

// One day, zoomable with the wheel or zoomIn()/zoomOut(); a click asks to play from that moment.
class Timeline : public QWidget
{
    Q_OBJECT
public:
    explicit Timeline(QWidget *parent = nullptr);

    // The day [start, end) in UTC, labelled on the recorder's clock.
    void setDay(const QDateTime &start, const QDateTime &end, const RecorderClock &clock);
    void setEvents(const QVector<TimelineEvent> &events);
    QVector<TimelineEvent> events() const { return m_events; }
    void setPosition(const QDateTime &utc);
    QDateTime position() const { return m_position; }

    QDateTime visibleStart() const { return m_viewStart; }
    qint64 visibleSeconds() const { return m_span; }
    // The x of a moment, and the moment at an x.
    int xOf(const QDateTime &utc) const;
    QDateTime timeAt(int x) const;

    QSize sizeHint() const override { return QSize(600, 56); }

public slots:
    void zoomIn();
    void zoomOut();
    // Keeps the span, shows utc in the middle.
    void centreOn(const QDateTime &utc);
    // Shows that many seconds around utc.
    void showSpan(qint64 seconds, const QDateTime &utc);

signals:
    void seekRequested(const QDateTime &utc);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    void zoom(double factor, const QDateTime &around);

    QDateTime m_dayStart;
    QDateTime m_dayEnd;
    RecorderClock m_clock;
    QDateTime m_viewStart;
    qint64 m_span = 86400;  // seconds shown
    QVector<TimelineEvent> m_events;
    QDateTime m_position;
};

class ArchiveView : public QWidget
{
    Q_OBJECT
public:
    explicit ArchiveView(QWidget *parent = nullptr);
    ~ArchiveView() override;

    // Shows the recorder's archive from `from` (UTC; invalid: a minute ago) and fetches the
    // events of that day.
    void open(const QUrl &recorder, const QDateTime &from = QDateTime());
    void close();
    bool isOpen() const { return m_url.isValid(); }
    void setTimeZoneRule(const QString &rule);
    // The recorder's day shown (its date on the recorder's clock); fetches its events.
    void setDay(const QDate &recorderDate);
    void refreshEvents();

    zvr3player *player() const { return m_player; }
    TileGrid *grid() const { return m_grid; }
    Timeline *timeline() const { return m_timeline; }
    QTreeWidget *eventList() const { return m_list; }
    SourceState *state() const { return m_state; }
    SourceState *eventsState() const { return m_eventsState; }
    QString positionText() const;   // "recorder: … · UTC: …"

public slots:
    void playFrom(const QDateTime &utc);
    void togglePause();
    void setRate(qreal rate);

signals:
    void message(const QString &text);

private:
    void showPosition(const QDateTime &utc);
    void eventsArrived(const QVector<TimelineEvent> &events);

    QUrl m_url;
    RecorderClock m_clock;
    QDate m_day;
    zvr3player *m_player;
    zvr3events m_events;
    zvr3supervisor m_eventsSupervisor;
    SourceState *m_state;
    SourceState *m_eventsState;
    TileGrid *m_grid;
    Timeline *m_timeline;
    QTreeWidget *m_list;
    QDateEdit *m_date;
    QPushButton *m_play;
    QComboBox *m_rate;
    QLabel *m_recorderTime;
    QLabel *m_utcTime;
};

} // namespace zvr3view

#endif
