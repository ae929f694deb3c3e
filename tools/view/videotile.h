// One picture of the viewer's grids: the last picture of a channel scaled into the tile, with the
// channel's name, its frame rate and the source's state drawn over it; a placeholder while there is
// no picture; a frame around the selected tile.
#ifndef ZVR3VIEW_VIDEOTILE_H
#define ZVR3VIEW_VIDEOTILE_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QQueue>
#include <QStringList>
#include <QWidget>

namespace zvr3view {

class VideoTile : public QWidget
{
    Q_OBJECT
public:
    explicit VideoTile(int index, QWidget *parent = nullptr);

    int index() const { return m_index; }
    int channel() const { return m_channel; }
    void setChannel(int channel, const QString &name);
    QString title() const { return m_title; }

    // A new picture of the channel (time: its recorded time, UTC).
    void setPicture(const QImage &image, const QDateTime &time);
    // Forgets the picture: the placeholder shows until the next one.
    void clearPicture();
    QImage lastImage() const { return m_image; }
    QDateTime lastTime() const { return m_time; }
    qint64 pictureCount() const { return m_pictures; }
    // Pictures per second over the last two seconds of arrivals.
    double frameRate() const;

    void setStateText(const QString &text);
    QString stateText() const { return m_state; }
    // Lines drawn at the foot of the picture (texts and position of the selected tile).
    void setOverlay(const QStringList &lines);
    QStringList overlay() const { return m_overlay; }
    void setBadge(const QString &badge);   // "REC", "SOUND"...: drawn beside the name
    QString badge() const { return m_badge; }

    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }

    QSize sizeHint() const override { return QSize(320, 180); }

signals:
    void clicked(int index);
    void doubleClicked(int index);
    // The measurement hook: a picture has just been painted for the first time.
    void painted(const QDateTime &pictureTime);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    int m_index;
    int m_channel = -1;
    QString m_title;
    QImage m_image;
    QDateTime m_time;
    bool m_unpainted = false;
    qint64 m_pictures = 0;
    QElapsedTimer m_clock;
    QQueue<qint64> m_arrivals;  // ms of m_clock
    QString m_state;
    QStringList m_overlay;
    QString m_badge;
    bool m_selected = false;
};

// Tiles in a square grid of 1, 4, 9 or 16; double-clicking a tile enlarges it to the whole grid,
// and again brings the grid back.
class TileGrid : public QWidget
{
    Q_OBJECT
public:
    explicit TileGrid(QWidget *parent = nullptr);
    static const int MaxTiles = 16;

    // 1, 4, 9 or 16 (others are taken to the next of these).
    void setCount(int count);
    int count() const { return m_count; }
    VideoTile *tile(int index) const { return m_tiles.value(index); }
    // The tile that shows a channel, or null.
    VideoTile *tileOfChannel(int channel) const;
    int enlarged() const { return m_enlarged; }   // -1: the whole grid shows
    void setEnlarged(int index);
    int selected() const { return m_selected; }
    void select(int index);

signals:
    void selectedChanged(int index);

private:
    void relayout();

    QVector<VideoTile *> m_tiles;
    int m_count = 4;
    int m_enlarged = -1;
    int m_selected = 0;
};

} // namespace zvr3view

#endif
