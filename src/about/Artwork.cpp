#include "Artwork.h"

#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QPainterPath>

#include <functional>

namespace {

const QColor cBody(0x37, 0x47, 0x4F);
const QColor cBodyEdge(0x26, 0x32, 0x38);
const QColor cKey(0xCF, 0xD8, 0xDC);
const QColor cBeam(0xE5, 0x39, 0x35);
const QColor cServo(0x1E, 0x88, 0xE5);
const QColor cServoDark(0x15, 0x65, 0xC0);

// The icon in a 48 x 48 design grid, scaled to `box`.
void drawIcon(QPainter& p, const QRectF& box)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(box.topLeft());
    p.scale(box.width() / 48.0, box.height() / 48.0);

    // The servo the controller drives, behind the remote on the right.
    p.setPen(QPen(cServoDark, 1.0));
    p.setBrush(cServo);
    p.drawRoundedRect(QRectF(27.5, 27.5, 18, 17), 2, 2);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(36.5, 33), 3.2, 3.2);
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(36.5, 33), QPointF(42.5, 30));

    // The remote: a dark body with a red emitter and a grid of keys.
    p.setPen(QPen(cBodyEdge, 1.0));
    p.setBrush(cBody);
    p.drawRoundedRect(QRectF(4.5, 19.5, 19, 27), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(cBeam);
    p.drawRoundedRect(QRectF(11, 17, 6, 4), 1.5, 1.5);
    p.drawEllipse(QPointF(9, 25), 2, 2); // power key
    p.setBrush(cKey);
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            p.drawEllipse(QPointF(9 + col * 5, 31 + row * 5), 1.6, 1.6);
    }

    // The infrared beam: three arcs up and to the right of the emitter.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        const qreal r = 7 + i * 6;
        p.setPen(QPen(cBeam, 2.4, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(14 - r, 18 - r, 2 * r, 2 * r), 20 * 16, 55 * 16);
    }
    p.restore();
}

QPixmap makePixmap(const QSize& size, qreal dpr, const std::function<void(QPainter&)>& draw)
{
    QPixmap pm(size * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    draw(p);
    return pm;
}

// Largest bold font of the family no taller than maxPixels whose text fits width.
QFont fittingFont(const QString& text, qreal width, int maxPixels)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setStyleHint(QFont::SansSerif);
    f.setBold(true);
    for (int px = maxPixels; px > 6; --px) {
        f.setPixelSize(px);
        if (QFontMetricsF(f).horizontalAdvance(text) <= width)
            break;
    }
    return f;
}

} // namespace

namespace Artwork {

QPixmap icon01_48(qreal devicePixelRatio)
{
    static QHash<qreal, QPixmap> cache;
    auto it = cache.find(devicePixelRatio);
    if (it == cache.end()) {
        it = cache.insert(devicePixelRatio,
                          makePixmap(QSize(48, 48), devicePixelRatio,
                                     [](QPainter& p) { drawIcon(p, QRectF(0, 0, 48, 48)); }));
    }
    return *it;
}

QPixmap Logo(qreal devicePixelRatio)
{
    static QHash<qreal, QPixmap> cache;
    auto it = cache.find(devicePixelRatio);
    if (it != cache.end())
        return *it;

    QPixmap pm = makePixmap(QSize(240, 40), devicePixelRatio, [](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);

        // "IR" on a red badge at the right end, the name before it.
        const QRectF badge(206, 9, 32, 22);
        p.setPen(Qt::NoPen);
        p.setBrush(cBeam);
        p.drawRoundedRect(badge, 5, 5);
        p.setFont(fittingFont(QStringLiteral("IR"), badge.width() - 6, 16));
        p.setPen(Qt::white);
        p.drawText(badge, Qt::AlignCenter, QStringLiteral("IR"));

        const QRectF name(2, 0, badge.left() - 2 - 8, 40);
        const QString text = QStringLiteral("VantorController");
        p.setFont(fittingFont(text, name.width(), 22));
        p.setPen(cBody);
        p.drawText(name, Qt::AlignVCenter | Qt::AlignLeft, text);
        p.setPen(QPen(cServo, 2));
        p.drawLine(QPointF(name.left(), 33), QPointF(name.right(), 33));
    });
    cache.insert(devicePixelRatio, pm);
    return pm;
}

QIcon AppIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(makePixmap(QSize(size, size), 1.0,
                                  [size](QPainter& p) { drawIcon(p, QRectF(0, 0, size, size)); }));
    }
    return icon;
}

} // namespace Artwork
