#include "RemoconWindow.h"

#include "IRRemModule.h"
#include "MyPicBtnClass.h"
#include "RemoteArtwork.h"
#include "RoundRectangle.h"
#include "VirtualMonitor.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "console/ConsoleWindow.h"
#include "link/TransSepaWindow.h"
#include "settings/PortSettingWindow.h"
#include "settings/PreferClass.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>
#include <QToolTip>

using namespace std::chrono_literals;

namespace {

constexpr auto kClearPeriod = 1000ms; // ClearTimer: created off, never started
constexpr auto kLampRefresh = 300ms;  // Timer1: the lamp follows the link

const QColor cLampClosed(255, 0, 0);
const QColor cLampOpen(0, 255, 0);

const QString cCommunication = QStringLiteral("Communicaion");
const QString cSimulation = QStringLiteral("Simulation");
const QString cVirtualItemName = QStringLiteral("PortVirtualController");
const QString cConsoleItemName = QStringLiteral("PortConsole");
const QString cConsoleSeparatorName = QStringLiteral("PortConsoleSeparator");
const QString cConsoleCaption = QStringLiteral("コンソール...");

// Tab order: the lamp first, then the keys as read on the picture, row by
// row, left to right (the cross: up, left, centre, right, down).
constexpr std::array cKeyTabOrder{25, 19, 16, 1,  2,  3,  4,  5,  6,  7,  8,  9,  22, 10, 24, 11,
                                  14, 26, 13, 12, 15, 21, 20, 28, 29, 30, 17, 31, 27, 18, 32, 23};

// Keys that keyboard keys stand for: the digits they show (0 for key 10, as
// on a remote's keypad) and the arrows of the cross.
struct KeyShortcut
{
    Qt::Key key;
    int index; // member of IRRCnv
};
constexpr std::array cKeyShortcuts{
    KeyShortcut{Qt::Key_1, 1},      KeyShortcut{Qt::Key_2, 2},    KeyShortcut{Qt::Key_3, 3},
    KeyShortcut{Qt::Key_4, 4},      KeyShortcut{Qt::Key_5, 5},    KeyShortcut{Qt::Key_6, 6},
    KeyShortcut{Qt::Key_7, 7},      KeyShortcut{Qt::Key_8, 8},    KeyShortcut{Qt::Key_9, 9},
    KeyShortcut{Qt::Key_0, 10},     KeyShortcut{Qt::Key_Up, 11},  KeyShortcut{Qt::Key_Down, 12},
    KeyShortcut{Qt::Key_Right, 13}, KeyShortcut{Qt::Key_Left, 14}};

// The remote's keys and its lamp are drawn, not widgets a screen reader
// knows: present them as buttons that take the focus and can be pressed.
class PanelButtonAccessible : public QAccessibleWidget
{
public:
    explicit PanelButtonAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Button) {}

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.focusable = true;
        return s;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override
    {
        if (name != pressAction())
            return;
        if (auto* key = qobject_cast<MyPicBtnClass*>(widget()))
            key->KeyClick();
        else if (auto* lamp = qobject_cast<RoundRectangle*>(widget()))
            lamp->Press();
    }
};

QAccessibleInterface* panelAccessibleFactory(const QString& className, QObject* object)
{
    auto* w = qobject_cast<QWidget*>(object);
    if (w && (className == QLatin1String("MyPicBtnClass") ||
              className == QLatin1String("RoundRectangle")))
        return new PanelButtonAccessible(w);
    return nullptr;
}

QString hexBytes(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// The content area: paints the remote picture at the screen's pixel density.
class RemoconContent : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        const qreal scale = devicePixelRatioF();
        if (mBackdrop.isNull() || !qFuzzyCompare(mBackdrop.devicePixelRatio(), scale))
            mBackdrop = RemoteArtwork::IRRemocon400p(scale);
        QPainter(this).drawImage(0, 0, mBackdrop);
    }

private:
    QImage mBackdrop;
};

QAction* menuAction(const QString& name)
{
    if (QMenu* m = MenuBar1::instance()->menu(name))
        return m->menuAction();
    return nullptr;
}

QAction* menuItem(const QString& name)
{
    return MenuBar1::instance()->item(name);
}

} // namespace

RemoconWindow::RemoconWindow(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("RemoconWindow"));
    setWindowTitle(QStringLiteral("Remocon"));

    // The backdrop and the menu bar.
    mContent = new RemoconContent(this);
    mContent->setObjectName(QStringLiteral("RemoconContent"));
    mContent->setFixedSize(cContentWidth, cContentHeight);
    mContent->installEventFilter(this);
    setCentralWidget(mContent);
    QMenuBar* bar = MenuBar1::instance()->createMenuBarFor(this);

    // The key buttons, in the layout's order; member 0 lies outside.
    const auto& rects = IRRCnvGeometry();
    for (int index : IRRCnvCreationOrder()) {
        auto* button = new MyPicBtnClass(mContent);
        button->Index = index;
        button->setObjectName(QStringLiteral("IRRCnv%1").arg(index));
        button->setGeometry(rects[index]);
        button->Toggle = false;
        button->Over = true;
        connect(button, &MyPicBtnClass::Open, this, [this, index] { IRRCnv_Open(index); });
        connect(button, &MyPicBtnClass::Action, this, [this, index] { IRRCnv_Action(index); });
        IRRCnv[index] = button;
    }

    ClearTimer.setInterval(kClearPeriod);
    connect(&ClearTimer, &QTimer::timeout, this, &RemoconWindow::ClearTimer_Action);

    SettingST = new QLabel(mContent);
    SettingST->setObjectName(QStringLiteral("SettingST"));
    SettingST->setGeometry(17, 326, 100, 48);
    SettingST->setAlignment(Qt::AlignCenter);
    // White text by palette, not by style sheet: a style sheet would also
    // colour the label's tooltip, white on pale yellow.
    QPalette textPalette = SettingST->palette();
    textPalette.setColor(QPalette::WindowText, Qt::white);
    SettingST->setPalette(textPalette);
    QFont font = SettingST->font();
    font.setBold(true);
    font.setPixelSize(11);
    SettingST->setFont(font);
    SettingST->setText(QStringLiteral("Simulation\nID=1\n#1 variable"));
    SettingST->setToolTip(QStringLiteral("Right-Click, change variable number..."));
    // A QLabel passes mouse presses on, so a right-click on it reaches the
    // window's pop-up.

    ConnectOV = new RoundRectangle(mContent);
    ConnectOV->setObjectName(QStringLiteral("ConnectOV"));
    ConnectOV->setGeometry(22, 22, 24, 12);
    ConnectOV->setFillColor(cLampClosed);
    ConnectOV->setToolTip(QStringLiteral("接続／切断..."));
    connect(ConnectOV, &RoundRectangle::MouseDown, this,
            [this](int x, int y) { ConnectOV_MouseDown(x, y); });
    connect(ConnectOV, &RoundRectangle::MouseEnter, this, &RemoconWindow::ConnectOV_MouseEnter);
    connect(ConnectOV, &RoundRectangle::MouseExit, this, &RemoconWindow::ConnectOV_MouseExit);

    Timer1.setInterval(kLampRefresh);
    connect(&Timer1, &QTimer::timeout, this, &RemoconWindow::Timer1_Action);
    Timer1.start();

    AddMenuHandlers();
    AddKeyboardAccess();

    // Fixed content size; the menu bar comes on top of it.
    const int barHeight = bar->heightForWidth(cContentWidth) > 0
                              ? bar->heightForWidth(cContentWidth)
                              : bar->sizeHint().height();
    setFixedSize(cContentWidth, cContentHeight + barHeight);

    // The controls open first, in creation order, then the window.
    for (int index : IRRCnvCreationOrder())
        IRRCnv[index]->Event_Open();
    Event_Open();
}

RemoconWindow::~RemoconWindow()
{
    if (mMonitor)
        delete mMonitor.data();
    if (mConsole)
        delete mConsole.data();
}

QMenu* RemoconWindow::popupMenu() const
{
    return mPopup;
}

VirtualMonitor* RemoconWindow::virtualMonitor() const
{
    return mMonitor;
}

ConsoleWindow* RemoconWindow::console() const
{
    return mConsole;
}

void RemoconWindow::IRRCnv_Open(int index)
{
    MyPicBtnClass* button = IRRCnv[index];
    button->setToolTip(QStringLiteral("#%1").arg(index));
    if (mPic.isNull()) {
        // All white: the left half (face) and the right half (mask, fully
        // transparent) make the buttons invisible in every state; the keys
        // seen are the backdrop's.
        mPic = QImage(12, 6, QImage::Format_RGB32);
        mPic.fill(QColor(255, 255, 255));
    }
    button->SetPic(mPic);
}

void RemoconWindow::IRRCnv_Action(int index)
{
    const QByteArray bytes = RemoconClickBytes(mRemType, mRemID, mRemNum, index);
    if (!bytes.isEmpty() && gTw)
        gTw->Cmd_Excute(bytes, true);
    else if (mRemType == cRemTypeSimulation)
        ShowSimulatedCode(index);
}

void RemoconWindow::ShowSimulatedCode(int index)
{
    MyPicBtnClass* key = IRRCnv[index];
    const QString text =
        QStringLiteral("Simulation: %1 (未送信)")
            .arg(hexBytes(RemoconClickBytes(cRemTypeCommunication, mRemID, mRemNum, index)));
    QToolTip::showText(key->mapToGlobal(QPoint(0, key->height())), text, key);
}

void RemoconWindow::Event_Open()
{
    mRemNum = 1;
    mRemID = 1;
    SetSettingText();
}

bool RemoconWindow::Event_MouseDown(int x, int y, bool contextual)
{
    if (!contextual)
        return false;
    if (mPopup)
        mPopup->close();

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("RemoconPopup"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (int i = 1; i <= 4; ++i)
        menu->addAction(QStringLiteral("ID=") + QString::number(i));
    for (int i = 1; i <= 8; ++i)
        menu->addAction(QStringLiteral("#") + QString::number(i) + QStringLiteral(" variable"));
    // Our additions come after the twelve, so those keep their places.
    menu->addSeparator();
    menu->addAction(cCommunication);
    menu->addAction(cSimulation);
    menu->addSeparator();
    menu->addAction(cConsoleCaption);
    connect(menu, &QMenu::triggered, this,
            [this](QAction* action) { PopupMenu_Choice(action->text()); });
    mPopup = menu;
    menu->popup(mContent->mapToGlobal(QPoint(x, y)));
    return false;
}

void RemoconWindow::PopupMenu_Choice(const QString& text)
{
    bool changed = false;
    for (int i = 1; i <= 4 && !changed; ++i) {
        if (text == QStringLiteral("ID=") + QString::number(i)) {
            mRemID = text.right(1).toInt();
            changed = true;
        }
    }
    for (int i = 1; i <= 8 && !changed; ++i) {
        if (text == QStringLiteral("#") + QString::number(i) + QStringLiteral(" variable")) {
            mRemNum = text.mid(1, 1).toInt();
            changed = true;
        }
    }
    if (!changed && text == cCommunication) {
        mRemType = cRemTypeCommunication;
        changed = true;
    }
    if (!changed && text == cSimulation) {
        mRemType = cRemTypeSimulation;
        changed = true;
    }
    if (changed)
        SetSettingText();
    else if (text == cConsoleCaption)
        // From the event loop: the pop-up is still closing.
        QTimer::singleShot(0, this, [this] { PortConsole_Action(); });
}

void RemoconWindow::SetSettingText()
{
    const QString mode = mRemType == cRemTypeCommunication ? cCommunication : cSimulation;
    SettingST->setText(mode + QLatin1Char('\n') + QStringLiteral("ID=") + QString::number(mRemID) +
                       QLatin1Char('\n') + QStringLiteral("#") + QString::number(mRemNum) +
                       QStringLiteral(" variable"));
    SetKeyDescriptions();
}

void RemoconWindow::ClearTimer_Action()
{
    ClearRemoconValues();
}

void RemoconWindow::Timer1_Action()
{
    SetLamp(gTw && gTw->mcpOpen());
}

void RemoconWindow::SetLamp(bool open)
{
    ConnectOV->setFillColor(open ? cLampOpen : cLampClosed);
    // The state in words too, not by colour alone.
    const QString description = QStringLiteral("%1 (%2 で%3)")
                                    .arg(open ? QStringLiteral("接続中") : QStringLiteral("切断"),
                                         lampShortcut().toString(QKeySequence::NativeText),
                                         open ? QStringLiteral("切断") : QStringLiteral("接続"));
    if (ConnectOV->accessibleDescription() != description)
        ConnectOV->setAccessibleDescription(description);
}

bool RemoconWindow::ConnectOV_MouseDown(int, int)
{
    if (!gTw)
        return false;
    if (gTw->mcpOpen()) {
        // The user asked: close even when the preferences keep the link open.
        gTw->RbPortClose(true);
        SetLamp(false);
    } else if (gTw->RbPortOpen()) {
        SetLamp(true);
    } else if (gPref && !gPref->mPortInfo) {
        // No port chosen, or the chosen one was not found and has just been
        // forgotten: let the user choose. A port that exists but would not
        // open has already been reported by the link.
        PortSettingWindow::OpenModal();
    }
    return false;
}

void RemoconWindow::ConnectOV_MouseEnter()
{
    ConnectOV->setCursor(Qt::PointingHandCursor);
}

void RemoconWindow::ConnectOV_MouseExit()
{
    ConnectOV->setCursor(Qt::ArrowCursor);
}

bool RemoconWindow::PortConnect_Action()
{
    ConnectOV_MouseDown(0, 0);
    return true;
}

bool RemoconWindow::PortSetting_Action()
{
    PortSettingWindow::OpenModal();
    return true;
}

bool RemoconWindow::PortVirtualController_Action()
{
    if (!mMonitor)
        mMonitor = new VirtualMonitor;
    mMonitor->show();
    mMonitor->raise();
    mMonitor->activateWindow();
    return true;
}

bool RemoconWindow::PortConsole_Action()
{
    // One console: opening it again brings it to the front.
    if (!mConsole)
        mConsole = new ConsoleWindow;
    mConsole->show();
    mConsole->raise();
    mConsole->activateWindow();
    return true;
}

void RemoconWindow::Event_EnableMenuItems()
{
    MenuBar1::instance()->EnablePortItems(gTw && gTw->mcpOpen());
    if (QAction* item = PortVirtualController())
        item->setEnabled(true);
    if (QAction* item = PortConsole())
        item->setEnabled(true);
}

void RemoconWindow::AddMenuHandlers()
{
    MenuBar1* bar = MenuBar1::instance();
    // Queued: the handlers may open modal dialogs, which must not start while
    // the menu that triggered them is still closing.
    connect(
        PortConnect(), &QAction::triggered, this, [this] { PortConnect_Action(); },
        Qt::QueuedConnection);
    connect(
        PortSetting(), &QAction::triggered, this, [this] { PortSetting_Action(); },
        Qt::QueuedConnection);
    connect(bar, &MenuBar1::EnableMenuItems, this, &RemoconWindow::Event_EnableMenuItems);

    // A fourth Port item for users without hardware: the virtual controller's
    // monitor. The shared menu keeps one such item for every window.
    QMenu* port = bar->menu(QStringLiteral("PortMenu"));
    QAction* virtualItem = PortVirtualController();
    if (!virtualItem && port) {
        virtualItem = new QAction(QStringLiteral("仮想コントローラー..."), port);
        virtualItem->setObjectName(cVirtualItemName);
        port->addAction(virtualItem);
    }
    if (virtualItem)
        connect(
            virtualItem, &QAction::triggered, this, [this] { PortVirtualController_Action(); },
            Qt::QueuedConnection);

    // Last, after a separator: the console, the whole board in one window.
    QAction* consoleItem = PortConsole();
    if (!consoleItem && port) {
        port->addSeparator()->setObjectName(cConsoleSeparatorName);
        consoleItem = new QAction(cConsoleCaption, port);
        consoleItem->setObjectName(cConsoleItemName);
        port->addAction(consoleItem);
    }
    if (consoleItem)
        connect(
            consoleItem, &QAction::triggered, this, [this] { PortConsole_Action(); },
            Qt::QueuedConnection);
}

void RemoconWindow::AddKeyboardAccess()
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(panelAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    // The controls never take the focus from a mouse click (a click on a key
    // must not move anything); Tab moves it over them in this order.
    mTabChain = {ConnectOV};
    for (int index : cKeyTabOrder)
        mTabChain << IRRCnv[index];

    ConnectOV->setAccessibleName(QStringLiteral("接続ランプ"));
    for (int index = 1; index < cIRRCnvCount; ++index)
        IRRCnv[index]->setAccessibleName(QStringLiteral("キー ") + keyLabel(index));
    SetLamp(false);

    for (const KeyShortcut& s : cKeyShortcuts) {
        auto* shortcut = new QShortcut(QKeySequence(s.key), this);
        connect(shortcut, &QShortcut::activated, this,
                [this, index = s.index] { IRRCnv[index]->KeyClick(); });
    }
    auto* lamp = new QShortcut(lampShortcut(), this);
    connect(lamp, &QShortcut::activated, ConnectOV, &RoundRectangle::Press);
    // The pop-up from the keyboard opens where a right-click on the settings
    // text would open it.
    for (const QKeySequence& seq :
         {QKeySequence(Qt::Key_Menu), QKeySequence(Qt::SHIFT | Qt::Key_F10)}) {
        auto* popup = new QShortcut(seq, this);
        connect(popup, &QShortcut::activated, this, [this] {
            const QPoint at = SettingST->geometry().center();
            Event_MouseDown(at.x(), at.y(), true);
        });
    }
    SetKeyDescriptions();
}

void RemoconWindow::SetKeyDescriptions()
{
    if (mTabChain.isEmpty())
        return; // not built yet
    for (int index = 1; index < cIRRCnvCount; ++index) {
        const QString bytes =
            hexBytes(RemoconClickBytes(cRemTypeCommunication, mRemID, mRemNum, index));
        QString text = mRemType == cRemTypeSimulation
                           ? QStringLiteral("Simulation: %1 (未送信)").arg(bytes)
                           : QStringLiteral("%1 を送信").arg(bytes);
        for (const KeyShortcut& s : cKeyShortcuts) {
            if (s.index == index)
                text +=
                    QStringLiteral(" — ") + QKeySequence(s.key).toString(QKeySequence::NativeText);
        }
        IRRCnv[index]->setAccessibleDescription(text);
    }
}

QString RemoconWindow::keyLabel(int index)
{
    switch (index) {
    case 11:
        return QStringLiteral("上 (#11)");
    case 12:
        return QStringLiteral("下 (#12)");
    case 13:
        return QStringLiteral("右 (#13)");
    case 14:
        return QStringLiteral("左 (#14)");
    case 16:
        return QStringLiteral("電源 (#16)");
    default:
        return QString::number(index);
    }
}

QKeySequence RemoconWindow::lampShortcut()
{
    return QKeySequence(Qt::CTRL | Qt::Key_L);
}

bool RemoconWindow::focusNextPrevChild(bool next)
{
    // Tab and Shift+Tab cycle over the lamp and the keys only.
    const qsizetype n = mTabChain.size();
    if (n == 0)
        return QMainWindow::focusNextPrevChild(next);
    qsizetype at = mTabChain.indexOf(QApplication::focusWidget());
    if (at < 0)
        at = next ? -1 : n; // coming from outside: the first or the last
    at = (at + (next ? 1 : -1) + n) % n;
    mTabChain[at]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

QAction* RemoconWindow::FileMenu() const
{
    return menuAction(QStringLiteral("FileMenu"));
}
QAction* RemoconWindow::FileQuit() const
{
    return menuItem(QStringLiteral("FileQuit"));
}
QAction* RemoconWindow::EditMenu() const
{
    return menuAction(QStringLiteral("EditMenu"));
}
QAction* RemoconWindow::EditUndo() const
{
    return menuItem(QStringLiteral("EditUndo"));
}
QAction* RemoconWindow::UntitledMenu1() const
{
    return menuItem(QStringLiteral("UntitledMenu1"));
}
QAction* RemoconWindow::EditCut() const
{
    return menuItem(QStringLiteral("EditCut"));
}
QAction* RemoconWindow::EditCopy() const
{
    return menuItem(QStringLiteral("EditCopy"));
}
QAction* RemoconWindow::EditPaste() const
{
    return menuItem(QStringLiteral("EditPaste"));
}
QAction* RemoconWindow::EditClear() const
{
    return menuItem(QStringLiteral("EditClear"));
}
QAction* RemoconWindow::UntitledMenu0() const
{
    return menuItem(QStringLiteral("UntitledMenu0"));
}
QAction* RemoconWindow::EditSelectAll() const
{
    return menuItem(QStringLiteral("EditSelectAll"));
}
QAction* RemoconWindow::UntitledSeparator() const
{
    return menuItem(QStringLiteral("UntitledSeparator"));
}
QAction* RemoconWindow::EditAboutVantor() const
{
    return menuItem(QStringLiteral("EditAboutVantor"));
}
QAction* RemoconWindow::PortMenu() const
{
    return menuAction(QStringLiteral("PortMenu"));
}
QAction* RemoconWindow::PortSetting() const
{
    return menuItem(QStringLiteral("PortSetting"));
}
QAction* RemoconWindow::UntitledSeparator0() const
{
    return menuItem(QStringLiteral("UntitledSeparator0"));
}
QAction* RemoconWindow::PortConnect() const
{
    return menuItem(QStringLiteral("PortConnect"));
}
QAction* RemoconWindow::PortVirtualController() const
{
    QMenu* port = MenuBar1::instance()->menu(QStringLiteral("PortMenu"));
    return port ? port->findChild<QAction*>(cVirtualItemName) : nullptr;
}

QAction* RemoconWindow::PortConsole() const
{
    QMenu* port = MenuBar1::instance()->menu(QStringLiteral("PortMenu"));
    return port ? port->findChild<QAction*>(cConsoleItemName) : nullptr;
}

void RemoconWindow::closeEvent(QCloseEvent* event)
{
    // Closing the remote ends the program; the console on screen is asked
    // first, so that unsaved changes to its sequence are not thrown away.
    if (mConsole && mConsole->isVisible() && !mConsole->close()) {
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}

bool RemoconWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == mContent && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint pos = mouse->position().toPoint();
        Event_MouseDown(pos.x(), pos.y(), mouse->button() == Qt::RightButton);
        return false;
    }
    return QMainWindow::eventFilter(watched, event);
}
