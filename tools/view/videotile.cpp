#include "videotile.h"

#include <QGridLayout>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace zvr3view {

VideoTile::VideoTile(int index, QWidget *parent)
    : QWidget(parent)
    , m_index(index)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(80, 45);
    m_clock.start();
}

void VideoTile::setChannel(int channel, const QString &name)
{
    if (channel != m_channel)
        clearPicture();
    m_channel = channel;
    m_title = name;
    update();
}

void VideoTile::setPicture(const QImage &image, const QDateTime &time)
{
    m_image = image;
    m_time = time;
    m_unpainted = true;
    ++m_pictures;
    const qint64 now = m_clock.elapsed();
    m_arrivals.enqueue(now);
    while (m_arrivals.size() > 1 && now - m_arrivals.head() > 2000)
        m_arrivals.dequeue();
    update();
}

void VideoTile::clearPicture()
{
    m_image = QImage();
    m_time = QDateTime();
    m_arrivals.clear();
    update();
}

double VideoTile::frameRate() const
{
    if (m_arrivals.size() < 2)
        return 0;
    const qint64 span = m_arrivals.last() - m_arrivals.head();
    return span > 0 ? 1000.0 * double(m_arrivals.size() - 1) / double(span) : 0;
}

void VideoTile::setStateText(const QString &text)
{
    if (text == m_state)
        return;
    m_state = text;
    update();
}

void VideoTile::setOverlay(const QStringList &lines)
{
    if (lines == m_overlay)
        return;
    m_overlay = lines;
    update();
}

void VideoTile::setBadge(const QString &badge)
{
    if (badge == m_badge)
        return;
    m_badge = badge;
    update();
}

void VideoTile::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    update();
}

namespace {

// Text on a dark band, readable over any picture.
void label(QPainter &p, const QRect &area, Qt::Alignment align, const QString &text)
{
    if (text.isEmpty())
        return;
    const QFontMetrics fm(p.font());
    QRect r = fm.boundingRect(area, int(align), text).adjusted(-4, -1, 4, 1);
    r = r.intersected(area);
    p.fillRect(r, QColor(0, 0, 0, 150));
    p.setPen(Qt::white);
    p.drawText(r, int(align | Qt::AlignVCenter), text);
}

} // namespace

void VideoTile::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(24, 24, 24));
    const QRect inner = rect().adjusted(2, 2, -2, -2);
    if (!m_image.isNull()) {
        QSize s = m_image.size();
        s.scale(inner.size(), Qt::KeepAspectRatio);
        const QRect target(inner.x() + (inner.width() - s.width()) / 2, inner.y() + (inner.height() - s.height()) / 2,
                           s.width(), s.height());
        p.setRenderHint(QPainter::SmoothPixmapTransform, s.width() < m_image.width() / 2);
        // A picture is opaque: drawn as RGB32 over the same memory it is copied, not blended, so the
        // painter need not premultiply every pixel of it first.
        const bool argb = m_image.format() == QImage::Format_ARGB32 || m_image.format() == QImage::Format_ARGB32_Premultiplied;
        p.drawImage(target, argb ? QImage(m_image.constBits(), m_image.width(), m_image.height(), m_image.bytesPerLine(),
                                          QImage::Format_RGB32)
                                 : m_image);
    } else {
        p.setPen(QColor(120, 120, 120));
        p.drawText(inner, Qt::AlignCenter, m_channel < 0 ? QStringLiteral("no channel") : QStringLiteral("no picture"));
    }
    QFont f = p.font();
    f.setPixelSize(qBound(10, height() / 16, 14));
    p.setFont(f);
    const QRect text = inner.adjusted(4, 4, -4, -4);
    QString head = m_title;
    if (!m_badge.isEmpty())
        head += QStringLiteral("  [%1]").arg(m_badge);
    if (!m_image.isNull())
        head += QStringLiteral("  %1 fps").arg(std::lround(frameRate()));
    label(p, text, Qt::AlignLeft | Qt::AlignTop, head);
    label(p, text, Qt::AlignRight | Qt::AlignTop, m_state);
    if (!m_overlay.isEmpty())
        label(p, text, Qt::AlignLeft | Qt::AlignBottom, m_overlay.join(QLatin1Char('\n')));
    p.setPen(QPen(m_selected ? QColor(255, 190, 0) : QColor(60, 60, 60), m_selected ? 2 : 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    if (m_unpainted) {
        m_unpainted = false;
        emit painted(m_time);
    }
}

void VideoTile::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit clicked(m_index);
    QWidget::mousePressEvent(event);
}

void VideoTile::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit doubleClicked(m_index);
}

TileGrid::TileGrid(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    for (int i = 0; i < MaxTiles; ++i) {
        auto *t = new VideoTile(i, this);
        m_tiles.append(t);
        connect(t, &VideoTile::clicked, this, &TileGrid::select);
        connect(t, &VideoTile::doubleClicked, this, [this](int index) { setEnlarged(m_enlarged == index ? -1 : index); });
    }
    m_tiles[0]->setSelected(true);
    relayout();
}

void TileGrid::setCount(int count)
{
    const int side = qBound(1, int(std::ceil(std::sqrt(double(qMax(1, count))))), 4);
    m_count = side * side;
    m_enlarged = -1;
    if (m_selected >= m_count)
        select(0);
    relayout();
}

VideoTile *TileGrid::tileOfChannel(int channel) const
{
    for (int i = 0; i < m_count; ++i)
        if (m_tiles[i]->channel() == channel)
            return m_tiles[i];
    return nullptr;
}

void TileGrid::setEnlarged(int index)
{
    m_enlarged = index >= 0 && index < m_count ? index : -1;
    if (m_enlarged >= 0)
        select(m_enlarged);
    relayout();
}

void TileGrid::select(int index)
{
    if (index < 0 || index >= m_count || index == m_selected)
        return;
    m_tiles[m_selected]->setSelected(false);
    m_selected = index;
    m_tiles[m_selected]->setSelected(true);
    emit selectedChanged(index);
}

void TileGrid::relayout()
{
    auto *grid = static_cast<QGridLayout *>(layout());
    for (VideoTile *t : m_tiles)
        grid->removeWidget(t);
    const int side = int(std::lround(std::sqrt(double(m_count))));
    for (int i = 0; i < MaxTiles; ++i) {
        VideoTile *t = m_tiles[i];
        const bool shown = m_enlarged >= 0 ? i == m_enlarged : i < m_count;
        t->setVisible(shown);
        if (!shown)
            continue;
        if (m_enlarged >= 0)
            grid->addWidget(t, 0, 0);
        else
            grid->addWidget(t, i / side, i % side);
    }
    for (int r = 0; r < 4; ++r) {
        grid->setRowStretch(r, r < side ? 1 : 0);
        grid->setColumnStretch(r, r < side ? 1 : 0);
    }
}

} // namespace zvr3view
