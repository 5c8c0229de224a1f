#include "MyPicBtnClass.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

// The colour part of a state picture: w x h pixels of the source at (dx, 0),
// without alpha (state pictures are 24-bit).
QImage slice(const QImage& source, int dx, int w, int h)
{
    QImage out(w, h, QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter p(&out);
    p.drawImage(-dx, 0, source);
    return out;
}

// Joins a 24-bit state picture with its mask: black in the mask is opaque,
// white transparent, grey in between.
QImage withMask(const QImage& picture, const QImage& mask)
{
    QImage out = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        const auto* m = reinterpret_cast<const QRgb*>(mask.constScanLine(y));
        for (int x = 0; x < out.width(); ++x)
            line[x] = qRgba(qRed(line[x]), qGreen(line[x]), qBlue(line[x]), 255 - qGray(m[x]));
    }
    return out;
}

template <typename Fn> QImage recolour(const QImage& picture, Fn fn)
{
    QImage out = picture;
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            line[x] = fn(QColor::fromRgb(line[x])).rgb();
    }
    return out;
}

} // namespace

MyPicBtnClass::MyPicBtnClass(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void MyPicBtnClass::Event_Open()
{
    BtnPic = mBackdrop;
    mBackdrop = QImage(); // the button paints itself; the backdrop is only a source
    emit Open();
    if (BtnPic.isNull()) {
        // Default source: a rounded outline as face, the filled shape as mask.
        const int w = width();
        const int h = height();
        QImage source(2 * w, h, QImage::Format_RGB32);
        source.fill(Qt::white);
        QPainter p(&source);
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setPen(mForeColor);
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRect(0, 0, w - 1, h - 1), 4, 4);
        p.setPen(Qt::NoPen);
        p.setBrush(mForeColor);
        p.drawRoundedRect(QRect(w, 0, w - 1, h - 1), 4, 4);
        p.end();
        BtnPic = source;
    }
    SetPic(BtnPic);
}

void MyPicBtnClass::SetPic(const QImage& source)
{
    BtnPic = source;
    const int w = source.width() / 2;
    const int h = source.height();
    const QImage face = slice(source, 0, w, h);
    const QImage mask = slice(source, w, w, h);

    mUp = withMask(face, mask);
    mDwn = withMask(recolour(face,
                             [](const QColor& c) {
                                 return QColor(int(c.red() * 0.5), int(c.green() * 0.5),
                                               int(c.blue() * 0.5));
                             }),
                    mask);
    mOvr = withMask(recolour(face,
                             [](const QColor& c) {
                                 float hue, sat, val;
                                 c.getHsvF(&hue, &sat, &val);
                                 // 20 % brighter, clamped at the top of the range.
                                 return QColor::fromHsvF(hue, sat, std::min(1.0f, val * 1.2f));
                             }),
                    mask);
    mDis = withMask(recolour(face,
                             [](const QColor& c) {
                                 float hue, sat, val;
                                 c.getHsvF(&hue, &sat, &val);
                                 return QColor::fromHsvF(hue, 0.0f, val);
                             }),
                    mask);
    SetEnable(isEnabled());
    Refresh();
}

void MyPicBtnClass::SetEnable(bool enabled)
{
    setEnabled(enabled);
    if (!enabled)
        unsetCursor(); // a disabled button never shows the pointing finger
    mPic = enabled ? mUp : mDis;
    Refresh();
}

void MyPicBtnClass::Refresh()
{
    mTransient = QImage();
    update();
}

void MyPicBtnClass::showTransient(const QImage& picture)
{
    mTransient = picture;
    update();
}

void MyPicBtnClass::paintEvent(QPaintEvent*)
{
    const QImage picture = shownPicture();
    QPainter p(this);
    if (!picture.isNull())
        p.drawImage(0, 0, picture);
    if (hasFocus()) {
        // The focus mark: the remote's keys are the backdrop's, so the button
        // outlines itself in the highlight colour while it has the focus.
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(palette().color(QPalette::Highlight), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 4, 4);
        // A white line inside it keeps the mark visible on keys of the
        // highlight's own hue.
        p.setPen(QPen(Qt::white, 1));
        p.drawRoundedRect(QRectF(rect()).adjusted(2.5, 2.5, -2.5, -2.5), 3, 3);
    }
}

void MyPicBtnClass::Event_MouseEnter()
{
    if (!Over || !isEnabled())
        return;
    setCursor(Qt::PointingHandCursor);
    if (!mOvr.isNull())
        showTransient(mOvr);
}

void MyPicBtnClass::Event_MouseExit()
{
    if (!Over || !isEnabled())
        return;
    Refresh();
    setCursor(Qt::ArrowCursor);
}

bool MyPicBtnClass::Event_MouseDown(int, int)
{
    if (!isEnabled())
        return false;
    if (!mDwn.isNull())
        showTransient(mDwn);
    return true;
}

void MyPicBtnClass::Event_MouseUp(int x, int y)
{
    if (!Over)
        Refresh();
    else if (!mOvr.isNull())
        showTransient(mOvr);

    // Only a release strictly inside the button completes the click.
    if (!(0 < x && x < width() && 0 < y && y < height()))
        return;
    if (Toggle) {
        Value = !Value;
        mPic = Value ? mDwn : mUp;
        Refresh();
    }
    emit Action();
}

void MyPicBtnClass::KeyClick()
{
    if (Event_MouseDown(1, 1))
        Event_MouseUp(1, 1);
}

void MyPicBtnClass::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!event->isAutoRepeat())
            KeyClick();
        event->accept();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void MyPicBtnClass::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    mPressed = Event_MouseDown(pos.x(), pos.y());
    if (mPressed)
        event->accept();
    else
        event->ignore(); // not taken: the window behind may use it
}

void MyPicBtnClass::mouseReleaseEvent(QMouseEvent* event)
{
    if (!mPressed) {
        event->ignore();
        return;
    }
    mPressed = false;
    const QPoint pos = event->position().toPoint();
    Event_MouseUp(pos.x(), pos.y());
}

void MyPicBtnClass::enterEvent(QEnterEvent*)
{
    Event_MouseEnter();
}

void MyPicBtnClass::leaveEvent(QEvent*)
{
    Event_MouseExit();
}
