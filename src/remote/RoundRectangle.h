#pragma once

#include <QColor>
#include <QWidget>

// A filled rounded rectangle with a border, reporting mouse-down, enter and
// exit to its owner. The remote window's connection lamp is one.
class RoundRectangle : public QWidget
{
    Q_OBJECT
public:
    explicit RoundRectangle(QWidget* parent = nullptr);

    QColor FillColor() const { return mFillColor; }
    // A mouse-down at the centre: the keyboard's and assistive tools' press.
    void Press() { emit MouseDown(width() / 2, height() / 2); }
    void setFillColor(const QColor& color);

    QColor BorderColor = Qt::black;
    int BorderWidth = 1;
    int OvalWidth = 10;
    int OvalHeight = 10;

signals:
    void MouseDown(int x, int y);
    void MouseEnter();
    void MouseExit();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    // Space or Return on the focused shape acts as a mouse-down at its centre.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QColor mFillColor = Qt::white;
};
