#include "liveview.h"

#include <QComboBox>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimeZone>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

#include "zvr3position_info.h"

namespace zvr3view {

LiveView::LiveView(QWidget *parent)
    : QWidget(parent)
    , m_player(new zvr3player(this))
    , m_grid(new TileGrid(this))
    , m_state(new SourceState(QStringLiteral("Live"), this))
    , m_snapshots(new Snapshots(this))
    , m_sound(new SoundOut(this))
{
    m_outputDir = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (m_outputDir.isEmpty())
        m_outputDir = QDir::currentPath();

    auto *bar = new QHBoxLayout;
    m_layout = new QComboBox(this);
    for (int n : {1, 4, 9, 16})
        m_layout->addItem(QStringLiteral("%1 × %1").arg(int(std::sqrt(n))), n);
    m_layout->setCurrentIndex(1);
    auto *snapshot = new QPushButton(QStringLiteral("Snapshot"), this);
    m_recordButton = new QPushButton(QStringLiteral("Record"), this);
    m_recordButton->setCheckable(true);
    m_soundButton = new QPushButton(QStringLiteral("Sound"), this);
    m_soundButton->setCheckable(true);
    bar->addWidget(new QLabel(QStringLiteral("Grid"), this));
    bar->addWidget(m_layout);
    bar->addStretch();
    bar->addWidget(snapshot);
    bar->addWidget(m_recordButton);
    bar->addWidget(m_soundButton);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(bar);
    layout->addWidget(m_grid, 1);

    connect(m_layout, &QComboBox::activated, this, [this](int i) { setGridSize(m_layout->itemData(i).toInt()); });
    connect(snapshot, &QPushButton::clicked, this, &LiveView::snapshotSelected);
    connect(m_recordButton, &QPushButton::clicked, this, &LiveView::toggleRecordingSelected);
    connect(m_soundButton, &QPushButton::toggled, this, &LiveView::setSoundEnabled);
    connect(m_grid, &TileGrid::selectedChanged, this, [this] {
        m_recordButton->setChecked(m_recordings.contains(m_grid->tile(m_grid->selected())->channel()));
        updateTiles();
        updateOverlay();
    });

    connect(m_player, &zvr3player::picture, this, [this](int stream, const QImage &image, const QDateTime &time) {
        if (VideoTile *t = m_grid->tileOfChannel(stream))
            t->setPicture(image, time);
    });
    connect(m_player, &zvr3player::streamsChanged, this, &LiveView::onStreams);
    connect(m_player, &zvr3player::statsChanged, m_state, &SourceState::setStats);
    connect(m_player, &zvr3player::stateChanged, m_state, &SourceState::setState);
    connect(m_player, &zvr3player::errorOccurred, this, [this](const zvr3error &e) { emit message(QStringLiteral("Live: %1").arg(e.text)); });
    connect(m_player, &zvr3player::text, this, [this](int, const QString &text, const QDateTime &time) {
        m_lastText = text.trimmed();
        m_lastTextTime = time;
        updateOverlay();
    });
    connect(m_player, &zvr3player::location, this, [this](int, const zvr3position_info &p, const QDateTime &) {
        m_lastPosition = p.valid ? QStringLiteral("GPS %1° %2, %3° %4, %5 km/h")
                                       .arg(std::abs(p.latitude), 0, 'f', 5)
                                       .arg(p.latitude >= 0 ? QLatin1Char('N') : QLatin1Char('S'))
                                       .arg(std::abs(p.longitude), 0, 'f', 5)
                                       .arg(p.longitude >= 0 ? QLatin1Char('E') : QLatin1Char('W'))
                                       .arg(p.speed * 3.6, 0, 'f', 0)
                                 : QStringLiteral("GPS: no fix");
        updateOverlay();
    });
    connect(m_player, &zvr3player::sound, this, [this](int, const zvr3sound_buffer &buffer, const QDateTime &) { m_sound->push(buffer); });
    connect(m_state, &SourceState::changed, this, &LiveView::updateTiles);
    connect(m_sound, &SoundOut::statusChanged, this, [this](const QString &s) {
        emit message(s);
        updateTiles();
    });
    connect(m_snapshots, &Snapshots::saved, this, [this](int channel, const QString &path, const QImage &image) {
        emit message(QStringLiteral("Snapshot of channel %1 (%2×%3) saved to %4").arg(channel).arg(image.width()).arg(image.height()).arg(path));
    });
    connect(m_snapshots, &Snapshots::failed, this, [this](int channel, const QString &why) {
        emit message(QStringLiteral("No snapshot of channel %1: %2").arg(channel).arg(why));
    });
    // The countdown of a wait to reconnect and the frame rates move without new records.
    auto *tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, &LiveView::updateTiles);
    tick->start(500);
    setGridSize(4);
}

LiveView::~LiveView()
{
    qDeleteAll(m_recordings);
    m_player->close();
}

void LiveView::open(const QUrl &recorder)
{
    close();
    m_url = recorder;
    m_names.clear();
    setGridSize(m_grid->count());
    QList<int> channels;
    for (int c = 0; c < m_grid->count(); ++c)
        channels.append(c);
    m_player->openLive(recorder, channels);
}

void LiveView::close()
{
    qDeleteAll(m_recordings);
    m_recordings.clear();
    m_recordButton->setChecked(false);
    m_snapshots->close();
    m_player->close();
    for (int i = 0; i < TileGrid::MaxTiles; ++i)
        m_grid->tile(i)->clearPicture();
}

void LiveView::setTimeZoneRule(const QString &rule)
{
    m_player->setTimeZoneRule(rule);
}

void LiveView::setGridSize(int tiles)
{
    m_grid->setCount(tiles);
    const int index = m_layout->findData(m_grid->count());
    if (index >= 0)
        m_layout->setCurrentIndex(index);
    QList<int> channels;
    for (int i = 0; i < TileGrid::MaxTiles; ++i) {
        VideoTile *t = m_grid->tile(i);
        if (i < m_grid->count()) {
            t->setChannel(i, m_names.value(i, QStringLiteral("Channel %1").arg(i)));
            channels.append(i);
        } else {
            t->setChannel(-1, QString());
        }
    }
    if (m_player->mode() == zvr3player::Live)
        m_player->setChannels(channels);
    updateTiles();
    updateOverlay();
}

void LiveView::onStreams(const QVector<STREAM_T> &streams)
{
    for (const STREAM_T &s : streams)
        if (s.type == 1)
            m_names[s.number] = s.text2.isEmpty() ? QStringLiteral("Channel %1").arg(s.number) : s.text2;
    for (int i = 0; i < m_grid->count(); ++i) {
        VideoTile *t = m_grid->tile(i);
        t->setChannel(t->channel(), m_names.value(t->channel(), QStringLiteral("Channel %1").arg(t->channel())));
    }
}

void LiveView::updateTiles()
{
    const QString state = m_state->stateOnly();
    const int selected = m_grid->selected();
    for (int i = 0; i < m_grid->count(); ++i) {
        VideoTile *t = m_grid->tile(i);
        QString tileState = state;
        QStringList badges;
        if (Recording *r = m_recordings.value(t->channel())) {
            badges << QStringLiteral("REC");
            if (r->state()->stats().state != zvr3stats::Streaming)
                tileState += QStringLiteral(" · rec ") + r->state()->stateOnly();
        }
        if (i == selected && m_sound->isEnabled())
            badges << (m_sound->hasDevice() ? QStringLiteral("SOUND") : QStringLiteral("no audio device"));
        t->setBadge(badges.join(QLatin1Char(' ')));
        t->setStateText(tileState);
        t->update();   // the frame rate
    }
}

void LiveView::updateOverlay()
{
    const int selected = m_grid->selected();
    QStringList lines;
    if (!m_lastText.isEmpty())
        lines << QStringLiteral("%1 %2").arg(m_lastTextTime.toUTC().toString(QStringLiteral("hh:mm:ss")), m_lastText);
    if (!m_lastPosition.isEmpty())
        lines << m_lastPosition;
    for (int i = 0; i < TileGrid::MaxTiles; ++i)
        m_grid->tile(i)->setOverlay(i == selected ? lines : QStringList());
}

QString LiveView::fileName(int channel, const QString &suffix) const
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
    return QDir(m_outputDir).filePath(QStringLiteral("%1-ch%2-%3.%4").arg(m_url.host()).arg(channel).arg(stamp, suffix));
}

void LiveView::snapshotSelected()
{
    VideoTile *t = m_grid->tile(m_grid->selected());
    if (!m_url.isValid() || t->channel() < 0)
        return;
    // The size of the channel's pictures, as the recorder sends them.
    const QSize size = t->lastImage().isNull() ? QSize(640, 360) : t->lastImage().size();
    m_snapshots->take(m_url, t->channel(), size, fileName(t->channel(), QStringLiteral("jpg")));
}

void LiveView::toggleRecordingSelected()
{
    VideoTile *t = m_grid->tile(m_grid->selected());
    const int channel = t->channel();
    if (!m_url.isValid() || channel < 0)
        return;
    if (Recording *r = m_recordings.take(channel)) {
        emit message(QStringLiteral("Recording of channel %1 stopped: %2 records in %3").arg(channel).arg(r->records()).arg(r->path()));
        delete r;
    } else {
        auto *started = new Recording(m_url, channel, fileName(channel, QStringLiteral("zvr")), this);
        connect(started, &Recording::error, this, [this, channel](const QString &e) { emit message(QStringLiteral("Recording of channel %1: %2").arg(channel).arg(e)); });
        connect(started->state(), &SourceState::changed, this, &LiveView::updateTiles);
        m_recordings.insert(channel, started);
        emit message(QStringLiteral("Recording channel %1 to %2").arg(channel).arg(started->path()));
    }
    m_recordButton->setChecked(m_recordings.contains(channel));
    updateTiles();
}

void LiveView::setSoundEnabled(bool on)
{
    m_sound->setEnabled(on);
    m_soundButton->setChecked(on);
}

} // namespace zvr3view
