#include "RoundRectangle.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

RoundRectangle::RoundRectangle(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void RoundRectangle::setFillColor(const QColor& color)
{
    if (mFillColor == color)
        return;
    mFillColor = color;
    update();
}

void RoundRectangle::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal inset = BorderWidth / 2.0;
    const QRectF r = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    p.setPen(BorderWidth > 0 ? QPen(BorderColor, BorderWidth) : QPen(Qt::NoPen));
    if (hasFocus()) // the focus mark: a wider border in the highlight colour
        p.setPen(QPen(palette().color(QPalette::Highlight), 2));
    p.setBrush(mFillColor);
    // The oval sizes are diameters of the corner arcs.
    p.drawRoundedRect(r, OvalWidth / 2.0, OvalHeight / 2.0);
}

void RoundRectangle::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    emit MouseDown(pos.x(), pos.y());
    event->accept();
}

void RoundRectangle::enterEvent(QEnterEvent*)
{
    emit MouseEnter();
}

void RoundRectangle::leaveEvent(QEvent*)
{
    emit MouseExit();
}

void RoundRectangle::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!event->isAutoRepeat())
            Press();
        event->accept();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}
