#pragma once

#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <array>

class ConsoleWindow;
class MyPicBtnClass;
class QAction;
class QKeySequence;
class QLabel;
class QMenu;
class RoundRectangle;
class VirtualMonitor;

// The main window: a picture of an infrared remote whose keys send their
// codes to the controller through the hidden controller window (gTw), a
// pop-up that chooses the remote ID and the variable, a settings text showing
// the choice, and a lamp that shows and toggles the serial link.
class RemoconWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit RemoconWindow(QWidget* parent = nullptr);
    ~RemoconWindow() override;

    // What a click sends (see IRRemModule).
    qint32 mRemID = 1;   // 1..4
    qint32 mRemNum = 1;  // variable 1..8
    qint32 mRemType = 0; // 0 communication, 1 simulation (sends nothing)
    QImage mPic;         // the one picture every key button shares

    // Controls, as laid out.
    std::array<MyPicBtnClass*, 33> IRRCnv{};
    QTimer ClearTimer;
    QLabel* SettingST = nullptr;
    RoundRectangle* ConnectOV = nullptr;
    QTimer Timer1;

    // The content area (133 x 398) under the menu bar.
    QWidget* content() const { return mContent; }
    // The remote ID / variable pop-up while it is shown, else null.
    QMenu* popupMenu() const;
    // The virtual controller monitor, once opened.
    VirtualMonitor* virtualMonitor() const;
    // The controller console, once opened.
    ConsoleWindow* console() const;

    // Handlers.
    void IRRCnv_Open(int index);
    void IRRCnv_Action(int index);
    void Event_Open();
    // A mouse-down no control took; `contextual` for the secondary button.
    bool Event_MouseDown(int x, int y, bool contextual);
    void PopupMenu_Choice(const QString& text);
    void SetSettingText();
    void ClearTimer_Action();
    void Timer1_Action();
    bool ConnectOV_MouseDown(int x, int y);
    void ConnectOV_MouseEnter();
    void ConnectOV_MouseExit();
    bool PortConnect_Action();
    bool PortSetting_Action();
    bool PortVirtualController_Action();
    bool PortConsole_Action();
    void Event_EnableMenuItems();
    void AddMenuHandlers();

    // The menu bar's items, by name.
    QAction* FileMenu() const;
    QAction* FileQuit() const;
    QAction* EditMenu() const;
    QAction* EditUndo() const;
    QAction* UntitledMenu1() const;
    QAction* EditCut() const;
    QAction* EditCopy() const;
    QAction* EditPaste() const;
    QAction* EditClear() const;
    QAction* UntitledMenu0() const;
    QAction* EditSelectAll() const;
    QAction* UntitledSeparator() const;
    QAction* EditAboutVantor() const;
    QAction* PortMenu() const;
    QAction* PortSetting() const;
    QAction* UntitledSeparator0() const;
    QAction* PortConnect() const;
    // The item appended to the Port menu that opens the monitor.
    QAction* PortVirtualController() const;
    // The last item of the Port menu, after a separator: the console.
    QAction* PortConsole() const;

    // Keyboard use: the controls in Tab order (the lamp, then the keys as
    // read on the picture).
    QList<QWidget*> tabChain() const { return mTabChain; }
    // What a key shows on the picture: its number, an arrow or the power mark.
    static QString keyLabel(int index);
    // The lamp's shortcut.
    static QKeySequence lampShortcut();

    static constexpr int cContentWidth = 133;
    static constexpr int cContentHeight = 398;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void AddKeyboardAccess();
    // Accessible texts: each key's says what it sends now; the lamp's says
    // whether the link is open.
    void SetKeyDescriptions();
    void SetLamp(bool open);
    // In simulation a click sends nothing: show what would have gone out.
    void ShowSimulatedCode(int index);

    QWidget* mContent = nullptr;
    QList<QWidget*> mTabChain;
    QPointer<QMenu> mPopup;
    QPointer<VirtualMonitor> mMonitor;
    QPointer<ConsoleWindow> mConsole;
};
