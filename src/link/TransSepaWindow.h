#pragma once

#include "link/BoardScheduler.h"
#include "link/ControllerLink.h"
#include "link/ControllerView.h"

#include <QMainWindow>

#include <memory>

class PreferClass;
class QLabel;
class QProgressBar;
class QPushButton;

// The controller window: it carries the link to the controller (serial
// port, protocol timers, exchange state) and shows its message line,
// progress and forced-disconnect button. It is created once at start-up and
// kept open, but never appears to the user: it is never mapped on screen
// (some window managers pull a window at x = -30000 back into view), while
// the program treats it as open at Left -30000.
//
// Other windows reach the link through gTw and the forwarding functions
// below.
class TransSepaWindow : public QMainWindow, public ControllerView
{
    Q_OBJECT
public:
    // Uses the program's preferences: whatever gPref refers to at the time.
    explicit TransSepaWindow(QWidget* parent = nullptr);
    // Uses the given preferences (null: gPref); they must outlive the window.
    explicit TransSepaWindow(PreferClass* pref, QWidget* parent = nullptr);
    ~TransSepaWindow() override;

    // --- For other windows ---------------------------------------------------
    ControllerLink* link() const { return mLink.get(); }
    // The one queue of board jobs over this link (the console, the pose
    // player); a remote key still goes straight to the link.
    BoardScheduler* scheduler() const { return mScheduler.get(); }
    void Cmd_Excute(const QByteArray& data, bool allowClose);
    bool RbPortOpen();
    void RbPortClose(bool force);
    bool mcpOpen() const;
    void setSerialPort(const SerialPortEntry& port);

    // --- Display operations ----------------------------------------------------
    void SetMsg(const QString& text) override;
    void EnableControllerButtons(bool enable) override;

    // --- Events ------------------------------------------------------------------
    void Event_Open();
    void Event_Close();
    void Event_Activate();
    void Event_Deactivate();
    void Event_EnableMenuItems() {}
    bool PrgPB_MouseDown(int x, int y);
    void PortSetPB_Action();
    void FoceClose_Action();
    void MsgST_Open();
    void PrgST_Open();

    // --- Controls, in the order they are created -----------------------------
    QProgressBar* PrgPB = nullptr;
    QLabel* MsgST = nullptr;
    QLabel* PrgST = nullptr;
    QPushButton* FoceClose = nullptr;
    QPushButton* PortSetPB = nullptr;
    // MySerial, DirectCommandTimer, SerialBackUpTimer and StackTimer are the
    // link's: link()->MySerial and so on.

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // ControllerView: what the link shows.
    void ShowProgress(const ProgressBarState& bar, const StaticTextState& count) override;
    void SetFoceCloseVisible(bool visible) override;
    void ShowPortSettings() override;
    int Alert(int icon, const QString& actionCaption, const QString& cancelCaption,
              const QString& alternateCaption, const QString& message, const QString& explanation,
              const QString& title) override;
    void Beep() override;

    void CreateControls();
    void FitToContent();

    std::unique_ptr<ControllerLink> mLink;
    std::unique_ptr<BoardScheduler> mScheduler; // after mLink: goes before it
    QWidget* mContent = nullptr;
};
