// The live grid: a zvr3player in live mode shows the first 1, 4, 9 or 16 channels of a recorder in
// tiles. The selected tile gets the recorder's texts and GPS position over its picture, its sound,
// a snapshot and a recording of its channel.
#ifndef ZVR3VIEW_LIVEVIEW_H
#define ZVR3VIEW_LIVEVIEW_H

#include <QDateTime>
#include <QMap>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include "tiletools.h"
#include "videotile.h"
#include "viewcommon.h"
#include "zvr3player.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace zvr3view {

class LiveView : public QWidget
{
    Q_OBJECT
public:
    explicit LiveView(QWidget *parent = nullptr);
    ~LiveView() override;

    void open(const QUrl &recorder);
    void close();
    void setTimeZoneRule(const QString &rule);
    // 1, 4, 9 or 16 tiles: the first that many channels.
    void setGridSize(int tiles);
    int gridSize() const { return m_grid->count(); }

    zvr3player *player() const { return m_player; }
    TileGrid *grid() const { return m_grid; }
    SourceState *state() const { return m_state; }
    Snapshots *snapshots() const { return m_snapshots; }
    SoundOut *sound() const { return m_sound; }
    Recording *recording(int channel) const { return m_recordings.value(channel); }
    QList<Recording *> recordings() const { return m_recordings.values(); }

    // Where snapshots and recordings go (default: the user's pictures folder).
    void setOutputDir(const QString &dir) { m_outputDir = dir; }
    QString outputDir() const { return m_outputDir; }

public slots:
    void snapshotSelected();
    void toggleRecordingSelected();
    void setSoundEnabled(bool on);

signals:
    // A line for the status bar: a snapshot saved, a recording started, sound unavailable...
    void message(const QString &text);

private:
    void onStreams(const QVector<STREAM_T> &streams);
    void updateTiles();
    void updateOverlay();
    QString fileName(int channel, const QString &suffix) const;

    QUrl m_url;
    zvr3player *m_player;
    TileGrid *m_grid;
    SourceState *m_state;
    Snapshots *m_snapshots;
    SoundOut *m_sound;
    QMap<int, Recording *> m_recordings;
    QMap<int, QString> m_names;   // channel -> the stream's name
    QString m_lastText;
    QDateTime m_lastTextTime;
    QString m_lastPosition;
    QString m_outputDir;
    QComboBox *m_layout;
    QPushButton *m_recordButton;
    QPushButton *m_soundButton;
};

} // namespace zvr3view

#endif
