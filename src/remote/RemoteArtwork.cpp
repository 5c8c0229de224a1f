#include "RemoteArtwork.h"

#include "IRRemModule.h"

#include <QPainter>
#include <QPainterPath>

namespace RemoteArtwork {
namespace {

enum class Group
{
    Digit,  // the numeric block
    Cursor, // the cross
    Centre, // the middle of the cross
    Power,  // the large top-right key
    Top,    // the two small round keys beside it
    Lower   // the four rows of narrow keys
};

Group groupOf(int index)
{
    switch (index) {
    case 16:
        return Group::Power;
    case 25:
    case 19:
        return Group::Top;
    case 11:
    case 12:
    case 13:
    case 14:
        return Group::Cursor;
    case 26:
        return Group::Centre;
    case 15:
    case 21:
    case 20:
    case 28:
    case 29:
    case 30:
    case 17:
    case 31:
    case 27:
    case 18:
    case 32:
    case 23:
        return Group::Lower;
    default:
        return Group::Digit;
    }
}

bool isRound(int index)
{
    const Group g = groupOf(index);
    return g == Group::Power || g == Group::Top;
}

QFont labelFont(int pixelSize, bool bold = true)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

// A filled triangle pointing up (0), right (1), down (2) or left (3).
void drawArrow(QPainter& p, const QRectF& r, int direction, const QColor& color)
{
    const QPointF c = r.center();
    const qreal s = 4.0;
    QPolygonF tri;
    switch (direction) {
    case 0:
        tri << QPointF(c.x(), c.y() - s) << QPointF(c.x() + s, c.y() + s * 0.7)
            << QPointF(c.x() - s, c.y() + s * 0.7);
        break;
    case 1:
        tri << QPointF(c.x() + s, c.y()) << QPointF(c.x() - s * 0.7, c.y() + s)
            << QPointF(c.x() - s * 0.7, c.y() - s);
        break;
    case 2:
        tri << QPointF(c.x(), c.y() + s) << QPointF(c.x() - s, c.y() - s * 0.7)
            << QPointF(c.x() + s, c.y() - s * 0.7);
        break;
    default:
        tri << QPointF(c.x() - s, c.y()) << QPointF(c.x() + s * 0.7, c.y() - s)
            << QPointF(c.x() + s * 0.7, c.y() + s);
        break;
    }
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPolygon(tri);
}

// The standby symbol: an open ring with a bar through its gap.
void drawPowerSymbol(QPainter& p, const QRectF& r, const QColor& color)
{
    const QRectF ring = QRectF(0, 0, 12, 12).translated(r.center() - QPointF(6, 5));
    QPen pen(color, 1.8, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(ring, 120 * 16, -240 * 16);
    p.drawLine(QPointF(ring.center().x(), ring.top() - 2),
               QPointF(ring.center().x(), ring.center().y()));
}

void drawKey(QPainter& p, int index, const QRect& rect)
{
    const QRectF r(rect);
    p.setPen(Qt::NoPen);
    p.setBrush(keyColor(index));
    if (isRound(index))
        p.drawEllipse(r);
    else
        p.drawRoundedRect(r, 4, 4);

    const QColor ink = labelColor(index);
    switch (index) {
    case 11:
        drawArrow(p, r, 0, ink);
        return;
    case 13:
        drawArrow(p, r, 1, ink);
        return;
    case 12:
        drawArrow(p, r, 2, ink);
        return;
    case 14:
        drawArrow(p, r, 3, ink);
        return;
    case 16:
        drawPowerSymbol(p, r, ink);
        return;
    default:
        break;
    }
    // The key's number: with the ID it gives the code sent,
    // (ID - 1) x 32 + number.
    p.setPen(ink);
    p.setFont(labelFont(groupOf(index) == Group::Digit ? 11 : 9));
    p.drawText(r, Qt::AlignCenter, QString::number(index));
}

} // namespace

QColor bodyColor()
{
    return QColor(0x30, 0x34, 0x3b);
}

QColor keyColor(int index)
{
    switch (groupOf(index)) {
    case Group::Digit:
        return QColor(0xe4, 0xe7, 0xeb);
    case Group::Cursor:
        return QColor(0x4a, 0x8a, 0xd4);
    case Group::Centre:
        return QColor(0x2b, 0x64, 0xa8);
    case Group::Power:
        return QColor(0xd6, 0x45, 0x41);
    case Group::Top:
        return index == 25 ? QColor(0xe3, 0xa3, 0x2f) : QColor(0x3f, 0xa3, 0x4d);
    case Group::Lower:
        return QColor(0x9c, 0xa3, 0xad);
    }
    return {};
}

QColor labelColor(int index)
{
    switch (groupOf(index)) {
    case Group::Digit:
    case Group::Lower:
    case Group::Top:
        return QColor(0x1b, 0x1e, 0x22);
    default:
        return Qt::white;
    }
}

QImage IRRemocon400p(qreal scale)
{
    QImage image(qRound(cWidth * scale), qRound(cHeight * scale), QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    image.fill(QColor(0xd5, 0xd9, 0xde)); // behind the remote

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // The body, with a faint rim.
    p.setPen(QPen(QColor(0x1a, 0x1d, 0x21), 1.5));
    p.setBrush(bodyColor());
    p.drawRoundedRect(QRectF(7.5, 3.5, 118, 391), 22, 22);

    // Infrared window at the top edge.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x5a, 0x12, 0x1a));
    p.drawRoundedRect(QRectF(49, 6, 35, 6), 3, 3);

    // Well around the connection lamp (the lamp itself is a control).
    p.setBrush(QColor(0x1f, 0x22, 0x27));
    p.drawRoundedRect(QRectF(19, 19, 30, 18), 7, 7);

    // Name plate.
    p.setPen(QColor(0xb8, 0xc0, 0xca));
    p.setFont(labelFont(8));
    p.drawText(QRectF(52, 16, 68, 12), Qt::AlignCenter, QStringLiteral("VANTOR IR"));

    // The panel under the settings text (white text on it).
    p.setPen(QPen(QColor(0x44, 0x4a, 0x53), 1));
    p.setBrush(QColor(0x1c, 0x1f, 0x24));
    p.drawRoundedRect(QRectF(13.5, 321.5, 106, 57), 6, 6);

    // Thin rules between the key groups.
    p.setPen(QPen(QColor(0x45, 0x4b, 0x54), 1));
    p.drawLine(QPointF(22, 61.5), QPointF(111, 61.5));
    p.drawLine(QPointF(22, 160.5), QPointF(111, 160.5));
    p.drawLine(QPointF(22, 221.5), QPointF(111, 221.5));
    p.drawLine(QPointF(22, 317.5), QPointF(111, 317.5));

    const auto& rects = IRRCnvGeometry();
    for (int index = 1; index < cIRRCnvCount; ++index)
        drawKey(p, index, rects[index]);
    return image;
}

} // namespace RemoteArtwork
