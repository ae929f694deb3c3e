// The three placeholder pictures of the JPEG client, drawn once per process.
#include <QColor>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

#include "zvr3jpeg_priv.h"

namespace {

// A plus sign centred on the origin, arms a wide, reaching 2a + a/2 from the centre.
QPainterPath plus(int a)
{
    const int h = a / 2;
    const int steps[12] = {2 * a, -2 * a, a, 2 * a, 2 * a, a, -2 * a, 2 * a, -a, -2 * a, -2 * a, -a};
    QPainterPath path(QPointF(-(2 * a + h), -h));
    QPointF at = path.currentPosition();
    for (int i = 0; i < 12; ++i) {
        at += i % 2 == 0 ? QPointF(steps[i], 0) : QPointF(0, steps[i]);
        path.lineTo(at);
    }
    path.closeSubpath();
    return path;
}

// The gloss across the top: 40 high at the right edge, 80 in the middle, 120 at the left edge,
// with rounded corners. Each segment: end point offset from the current point, first control point
// offset from the current point, second control point offset from the end point.
QPainterPath gloss(int w)
{
    const qreal segments[5][6] = {
        {qreal(w), 0, 0, 0, 0, 0},
        {0, 40, 0, 0, 0, 0},
        {-40, 40, 0, 20, 20, 0},
        {80.0 - w, 0, 0, 0, 0, 0},
        {-40, 40, -20, 0, 0, -20},
    };
    QPainterPath path(QPointF(0, 0));
    for (const auto &t : segments) {
        const QPointF p = path.currentPosition();
        const QPointF end = p + QPointF(t[0], t[1]);
        path.cubicTo(p + QPointF(t[2], t[3]), end + QPointF(t[4], t[5]), end);
    }
    path.closeSubpath();
    return path;
}

} // namespace

void zvr3jpeg_priv::createDefaultImages()
{
    struct Look
    {
        QColor base;
        bool cross;
    };
    const Look looks[3] = {{QColor(Qt::red), false}, {QColor(Qt::red), true}, {QColor(Qt::gray), true}};

    for (const Look &look : looks) {
        mDefaultImages.append(QImage(320, 240, QImage::Format_ARGB32));
        QImage &image = mDefaultImages.last();
        const QRect r = image.rect();
        QPainter painter(&image);

        // The background covers every pixel: darkest at the top, full colour at the bottom.
        QLinearGradient background(r.left(), r.top(), r.left(), r.bottom());
        background.setColorAt(0.0, look.base.darker(200));
        background.setColorAt(1.0, look.base);
        painter.fillRect(r, background);

        if (look.cross) {
            const int m = qMin(r.width(), r.height());
            const int a = (m / 6) & ~1;
            painter.save();
            painter.setRenderHint(QPainter::Antialiasing);
            painter.translate((r.left() + r.right()) / 2, (r.top() + r.bottom()) / 2);
            painter.rotate(45);
            QLinearGradient fill(-2 * a, -2 * a, 2 * a, 2 * a);
            fill.setColorAt(0.0, look.base.lighter(150));
            fill.setColorAt(1.0, look.base.darker(200));
            painter.setBrush(fill);
            painter.setPen(QPen(QBrush(look.base.darker(300)), 3.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
            painter.drawPath(plus(a));
            painter.restore();
        }

        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient shine(r.left(), r.top(), r.left(), r.top() + 120);
        shine.setColorAt(0.0, QColor(255, 255, 255, 128));
        shine.setColorAt(1.0, QColor(255, 255, 255, 0));
        painter.fillPath(gloss(r.width()), shine);
        painter.restore();
        painter.end();
    }
}
