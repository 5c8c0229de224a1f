#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;

// The About window. It serves twice, always modal: as the welcome splash at
// start-up (closes itself after 1500 ms, background clicks ignored) and as the
// About box (closes on a click on its background). One instance at a time; a
// closed window is deleted, so every showing starts afresh.
class Window2 : public QDialog
{
    Q_OBJECT
public:
    // The open window, or a new one.
    static Window2* instance();
    // Opens the About box modally (not in welcome mode); returns when closed.
    static void ShowAbout();

    // Welcome mode: shows the splash modally and returns once it has closed
    // (by the timer after 1500 ms, or earlier by its close button). The window
    // is deleted when this returns.
    void Welcome();

    bool mWelcome = false;
    QTimer Timer1;

    QLabel* Canvas1 = nullptr;     // the icon
    QLabel* Canvas2 = nullptr;     // the logo
    QLabel* StaticText1 = nullptr; // credits
    QLabel* StaticText2 = nullptr; // web page link
    QLabel* StaticText3 = nullptr; // mail link
    QLabel* StaticText4 = nullptr; // version

protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit Window2(QWidget* parent = nullptr);

    void StaticText4_Open();
    void Timer1_Action();
    void Link_MouseEnter(QLabel* link);
    void Link_MouseExit(QLabel* link);
    bool Link_MouseDown(QLabel* link);
    void ShowAddress(const QString& url);
};
