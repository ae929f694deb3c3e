#include "archiveview.h"

#include <QComboBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QTimeZone>
#include <QTreeWidget>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "evtparser.h"
#include "zvr3error.h"
#include "zvr3value.h"

namespace zvr3view {

namespace {
constexpr qint64 MinSpan = 60;       // the closest zoom: a minute across
constexpr qint64 DaySeconds = 86400;
const int TimeRole = Qt::UserRole;
} // namespace

Timeline::Timeline(QWidget *parent)
    : QWidget(parent)
{
    setMinimumHeight(48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
}

void Timeline::setDay(const QDateTime &start, const QDateTime &end, const RecorderClock &clock)
{
    m_dayStart = start;
    m_dayEnd = end;
    m_clock = clock;
    m_viewStart = start;
    m_span = qMax<qint64>(MinSpan, start.secsTo(end));
    update();
}

void Timeline::setEvents(const QVector<TimelineEvent> &events)
{
    m_events = events;
    update();
}

void Timeline::setPosition(const QDateTime &utc)
{
    m_position = utc;
    update();
}

int Timeline::xOf(const QDateTime &utc) const
{
    if (!m_viewStart.isValid())
        return 0;
    return int(double(m_viewStart.msecsTo(utc)) / (1000.0 * double(m_span)) * width());
}

QDateTime Timeline::timeAt(int x) const
{
    return m_viewStart.addMSecs(qint64(double(x) / qMax(1, width()) * 1000.0 * double(m_span)));
}

void Timeline::zoomIn()
{
    zoom(0.5, m_position.isValid() ? m_position : timeAt(width() / 2));
}

void Timeline::zoomOut()
{
    zoom(2, m_position.isValid() ? m_position : timeAt(width() / 2));
}

void Timeline::centreOn(const QDateTime &utc)
{
    if (!m_dayStart.isValid())
        return;
    const qint64 day = qMax<qint64>(MinSpan, m_dayStart.secsTo(m_dayEnd));
    m_viewStart = utc.addSecs(-m_span / 2);
    if (m_viewStart < m_dayStart)
        m_viewStart = m_dayStart;
    if (m_viewStart.addSecs(m_span) > m_dayStart.addSecs(day))
        m_viewStart = m_dayStart.addSecs(day - m_span);
    update();
}

void Timeline::showSpan(qint64 seconds, const QDateTime &utc)
{
    if (!m_dayStart.isValid())
        return;
    m_span = qBound<qint64>(MinSpan, seconds, qMax<qint64>(MinSpan, m_dayStart.secsTo(m_dayEnd)));
    centreOn(utc);
}

void Timeline::zoom(double factor, const QDateTime &around)
{
    if (!m_dayStart.isValid())
        return;
    const qint64 day = qMax<qint64>(MinSpan, m_dayStart.secsTo(m_dayEnd));
    m_span = qBound<qint64>(MinSpan, qint64(double(m_span) * factor), day);
    centreOn(around);
}

void Timeline::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(36, 36, 40));
    if (!m_viewStart.isValid())
        return;
    QFont f = p.font();
    f.setPixelSize(10);
    p.setFont(f);
    // Ticks at a round step on the recorder's clock: the labels read as its wall clock.
    static const qint64 steps[] = {10, 30, 60, 300, 600, 1800, 3600, 7200, 10800, 21600};
    qint64 step = steps[sizeof steps / sizeof *steps - 1];
    for (qint64 s : steps)
        if (width() * s / m_span >= 70) {
            step = s;
            break;
        }
    const QDateTime localStart = m_clock.toRecorder(m_viewStart);
    qint64 tick = (localStart.toSecsSinceEpoch() / step) * step;
    const QString format = step < 60 ? QStringLiteral("hh:mm:ss") : QStringLiteral("hh:mm");
    for (; tick <= localStart.toSecsSinceEpoch() + m_span; tick += step) {
        const QDateTime local = QDateTime::fromSecsSinceEpoch(tick, QTimeZone::utc());
        const int x = xOf(m_clock.toUtc(local));
        if (x < 0)
            continue;
        p.setPen(QColor(90, 90, 100));
        p.drawLine(x, 0, x, height());
        p.setPen(QColor(200, 200, 200));
        p.drawText(x + 3, height() - 4, local.toString(format));
    }
    // Events: a red mark each.
    p.setPen(QPen(QColor(230, 60, 50), 2));
    for (const TimelineEvent &e : m_events) {
        const int x = xOf(e.utc);
        if (x >= 0 && x < width())
            p.drawLine(x, 2, x, height() / 2);
    }
    if (m_position.isValid()) {
        const int x = xOf(m_position);
        p.setPen(QPen(QColor(255, 200, 0), 2));
        p.drawLine(x, 0, x, height());
    }
}

void Timeline::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_viewStart.isValid())
        emit seekRequested(timeAt(int(event->position().x())));
}

void Timeline::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta != 0)
        zoom(delta > 0 ? 0.5 : 2, timeAt(int(event->position().x())));
    event->accept();
}

ArchiveView::ArchiveView(QWidget *parent)
    : QWidget(parent)
    , m_player(new zvr3player(this))
    , m_eventsSupervisor(&m_events)
    , m_state(new SourceState(QStringLiteral("Archive"), this))
    , m_eventsState(new SourceState(QStringLiteral("Events"), this))
    , m_grid(new TileGrid(this))
    , m_timeline(new Timeline(this))
    , m_list(new QTreeWidget(this))
{
    m_grid->setCount(4);
    for (int i = 0; i < 4; ++i)
        m_grid->tile(i)->setChannel(i, QStringLiteral("Channel %1").arg(i));

    m_list->setColumnCount(2);
    m_list->setHeaderLabels({QStringLiteral("Recorder time"), QStringLiteral("Event")});
    m_list->setRootIsDecorated(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

    m_date = new QDateEdit(this);
    m_date->setCalendarPopup(true);
    m_date->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    auto *refresh = new QPushButton(QStringLiteral("Events"), this);
    auto *zoomIn = new QPushButton(QStringLiteral("+"), this);
    auto *zoomOut = new QPushButton(QStringLiteral("−"), this);
    zoomIn->setToolTip(QStringLiteral("Zoom in"));
    zoomOut->setToolTip(QStringLiteral("Zoom out"));
    m_play = new QPushButton(QStringLiteral("Pause"), this);
    m_rate = new QComboBox(this);
    for (qreal r : {0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0})
        m_rate->addItem(r < 1 ? QStringLiteral("%1×").arg(r) : QStringLiteral("%1×").arg(int(r)), r);
    m_rate->setCurrentIndex(2);
    m_recorderTime = new QLabel(this);
    m_utcTime = new QLabel(this);

    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_grid);
    splitter->addWidget(m_list);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({760, 340});

    auto *top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Day"), this));
    top->addWidget(m_date);
    top->addWidget(refresh);
    top->addStretch();
    top->addWidget(zoomOut);
    top->addWidget(zoomIn);
    auto *controls = new QHBoxLayout;
    controls->addWidget(m_play);
    controls->addWidget(m_rate);
    controls->addSpacing(12);
    controls->addWidget(m_recorderTime);
    controls->addSpacing(12);
    controls->addWidget(m_utcTime);
    controls->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addWidget(m_timeline);
    layout->addLayout(controls);

    connect(m_date, &QDateEdit::dateChanged, this, [this](const QDate &d) {
        if (d != m_day)
            setDay(d);
    });
    connect(refresh, &QPushButton::clicked, this, &ArchiveView::refreshEvents);
    connect(zoomIn, &QPushButton::clicked, m_timeline, &Timeline::zoomIn);
    connect(zoomOut, &QPushButton::clicked, m_timeline, &Timeline::zoomOut);
    connect(m_play, &QPushButton::clicked, this, &ArchiveView::togglePause);
    connect(m_rate, &QComboBox::activated, this, [this](int i) { setRate(m_rate->itemData(i).toReal()); });
    connect(m_timeline, &Timeline::seekRequested, this, &ArchiveView::playFrom);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) {
        playFrom(item->data(0, TimeRole).toDateTime());
    });

    connect(m_player, &zvr3player::picture, this, [this](int stream, const QImage &image, const QDateTime &time) {
        if (VideoTile *t = m_grid->tileOfChannel(stream))
            t->setPicture(image, time);
    });
    connect(m_player, &zvr3player::streamsChanged, this, [this](const QVector<STREAM_T> &streams) {
        for (const STREAM_T &s : streams)
            if (s.type == 1)
                if (VideoTile *t = m_grid->tileOfChannel(s.number))
                    t->setChannel(s.number, s.text2.isEmpty() ? QStringLiteral("Channel %1").arg(s.number) : s.text2);
    });
    connect(m_player, &zvr3player::positionChanged, this, &ArchiveView::showPosition);
    connect(m_player, &zvr3player::pausedChanged, this, [this](bool paused) {
        m_play->setText(paused ? QStringLiteral("Play") : QStringLiteral("Pause"));
    });
    connect(m_player, &zvr3player::rateChanged, this, [this](qreal rate) {
        const int i = m_rate->findData(rate);
        if (i >= 0)
            m_rate->setCurrentIndex(i);
    });
    connect(m_player, &zvr3player::statsChanged, m_state, &SourceState::setStats);
    connect(m_player, &zvr3player::stateChanged, m_state, &SourceState::setState);
    connect(m_player, &zvr3player::errorOccurred, this, [this](const zvr3error &e) { emit message(QStringLiteral("Archive: %1").arg(e.text)); });
    connect(m_state, &SourceState::changed, this, [this] {
        for (int i = 0; i < 4; ++i)
            m_grid->tile(i)->setStateText(m_state->stateOnly());
    });

    connect(&m_eventsSupervisor, &zvr3base::sigData, this, [this](const QVariant &value) {
        if (const auto stats = zvr3take<zvr3stats>(value)) {
            m_eventsState->setStats(*stats);
        } else if (const auto list = zvr3take<EVENTS_FILE_LIST_T>(value)) {
            QVector<TimelineEvent> events;
            for (const EVENTS_FILE_DATA_T &e : *list) {
                QStringList texts;
                for (const PARAM_T &t : e.texts)
                    texts << t.text;
                events.append({m_clock.utcOfRecorderMs(e.time), int(e.number), texts.join(QStringLiteral("; "))});
            }
            eventsArrived(events);
        } else if (const auto e = zvr3take<zvr3error>(value)) {
            emit message(QStringLiteral("Events: %1").arg(e->text));
        }
    });
}

ArchiveView::~ArchiveView()
{
    m_eventsSupervisor.close();
    m_player->close();
}

void ArchiveView::setTimeZoneRule(const QString &rule)
{
    m_clock = RecorderClock(rule);
    m_player->setTimeZoneRule(rule);
}

void ArchiveView::open(const QUrl &recorder, const QDateTime &from)
{
    close();
    m_url = recorder;
    const QDateTime start = from.isValid() ? from : QDateTime::currentDateTimeUtc().addSecs(-60);
    setDay(m_clock.toRecorder(start).date());
    m_player->openArchive(recorder, start);
    m_player->setChannels({0, 1, 2, 3});
    m_timeline->showSpan(600, start);
    m_timeline->setPosition(start);
}

void ArchiveView::close()
{
    m_eventsSupervisor.close();
    m_player->close();
    m_url = QUrl();
    for (int i = 0; i < 4; ++i)
        m_grid->tile(i)->clearPicture();
}

void ArchiveView::setDay(const QDate &recorderDate)
{
    m_day = recorderDate;
    m_date->setDate(recorderDate);
    const QDateTime start = m_clock.toUtc(QDateTime(recorderDate, QTime(0, 0), QTimeZone::utc()));
    const QDateTime end = m_clock.toUtc(QDateTime(recorderDate.addDays(1), QTime(0, 0), QTimeZone::utc()));
    m_timeline->setDay(start, end, m_clock);
    refreshEvents();
}

void ArchiveView::refreshEvents()
{
    if (!m_url.isValid() || !m_day.isValid())
        return;
    // The period is asked on the recorder's clock, as its digits read.
    QUrl url = m_url;
    QUrlQuery period;
    const QDateTime from(m_day, QTime(0, 0), QTimeZone::utc());
    period.addQueryItem(QStringLiteral("from"), from.toString(QStringLiteral("yyyyMMddhhmmss")));
    period.addQueryItem(QStringLiteral("to"), from.addSecs(DaySeconds - 1).toString(QStringLiteral("yyyyMMddhhmmss")));
    url.setQuery(period);
    m_eventsState->setClosedNote(QString());
    m_eventsSupervisor.fetch(url);
}

void ArchiveView::eventsArrived(const QVector<TimelineEvent> &events)
{
    m_timeline->setEvents(events);
    m_list->clear();
    QList<QTreeWidgetItem *> items;
    for (const TimelineEvent &e : events) {
        auto *item = new QTreeWidgetItem({m_clock.toRecorder(e.utc).toString(QStringLiteral("hh:mm:ss")), e.text});
        item->setData(0, TimeRole, e.utc);
        items.append(item);
    }
    m_list->addTopLevelItems(items);
    if (!items.isEmpty())
        m_list->scrollToItem(items.last());
    const QString note = QStringLiteral("%1 events on %2").arg(events.size()).arg(m_day.toString(Qt::ISODate));
    m_eventsState->setClosedNote(note);
    emit message(note);
}

void ArchiveView::playFrom(const QDateTime &utc)
{
    if (!m_url.isValid() || !utc.isValid())
        return;
    const zvr3stats::State state = m_player->state();
    if (m_player->mode() == zvr3player::Archive && state != zvr3stats::Closed && state != zvr3stats::Failed) {
        m_player->seek(utc);  // on the same connection, from the new time on
    } else {
        const qreal rate = m_player->rate();
        m_player->openArchive(m_url, utc);
        m_player->setChannels({0, 1, 2, 3});
        m_player->setRate(rate);
    }
    m_player->play();
    m_timeline->setPosition(utc);
}

void ArchiveView::togglePause()
{
    m_player->setPaused(!m_player->isPaused());
}

void ArchiveView::setRate(qreal rate)
{
    m_player->setRate(rate);
}

void ArchiveView::showPosition(const QDateTime &utc)
{
    m_timeline->setPosition(utc);
    if (m_timeline->xOf(utc) < 0 || m_timeline->xOf(utc) >= m_timeline->width())
        m_timeline->centreOn(utc);
    m_recorderTime->setText(QStringLiteral("Recorder: %1").arg(m_clock.toRecorder(utc).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
    m_utcTime->setText(QStringLiteral("UTC: %1").arg(utc.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
}

QString ArchiveView::positionText() const
{
    return m_recorderTime->text() + QStringLiteral(" · ") + m_utcTime->text();
}

} // namespace zvr3view
