#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

// A push button drawn entirely from one source picture. The source is twice as
// wide as the button: its left half is the face, its right half the face's
// mask (black opaque, white transparent, grey partly covered). From it the
// button derives its up, hover, pressed and disabled pictures. Each derived
// picture is kept as ARGB: the colour channels are the 24-bit state picture,
// the alpha channel is the mask (255 minus the mask's grey level).
class MyPicBtnClass : public QWidget
{
    Q_OBJECT
public:
    explicit MyPicBtnClass(QWidget* parent = nullptr);

    // Runs the control's opening: takes the backdrop as source, lets the
    // owner set a picture (Open), falls back to a drawn rounded outline, and
    // derives the state pictures. The owner calls it once, after layout.
    virtual void Event_Open();
    virtual bool Event_MouseDown(int x, int y);
    virtual void Event_MouseUp(int x, int y);
    virtual void Event_MouseEnter();
    virtual void Event_MouseExit();

    void SetPic(const QImage& source);
    void SetEnable(bool enabled);

    // A click from the keyboard (Space or Return on the focused button, a
    // shortcut, an assistive tool's press): the same press and release a
    // mouse click inside the button makes, so it sends the same bytes.
    void KeyClick();

    // The picture the layout assigns; consumed (and cleared) by Event_Open.
    void setBackdrop(const QImage& picture) { mBackdrop = picture; }
    // Colour of the default outline drawn when no picture was given.
    void setForeColor(const QColor& color) { mForeColor = color; }

    // The picture on screen now: a transient hover/pressed picture until the
    // next Refresh, else the resting picture mPic.
    QImage shownPicture() const { return mTransient.isNull() ? mPic : mTransient; }
    // Brings back the resting picture (drops hover or pressed feedback).
    void Refresh();

    QImage mUp;
    QImage mOvr;
    QImage mDwn;
    bool Toggle = false;
    bool Over = false;
    bool Value = false;
    QImage mPic;
    QImage BtnPic;
    QImage mDis;
    int Index = 0; // position in the owner's control array

signals:
    void Open();
    void Action();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showTransient(const QImage& picture);

    QImage mBackdrop;
    QImage mTransient;
    QColor mForeColor = Qt::black;
    bool mPressed = false;
};
