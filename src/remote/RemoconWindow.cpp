#include "RemoconWindow.h"

#include "IRRemModule.h"
#include "MyPicBtnClass.h"
#include "RemoteArtwork.h"
#include "RoundRectangle.h"
#include "VirtualMonitor.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "settings/PortSettingWindow.h"
#include "settings/PreferClass.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>

using namespace std::chrono_literals;

namespace {

constexpr auto kClearPeriod = 1000ms; // ClearTimer: created off, never started
constexpr auto kLampRefresh = 300ms;  // Timer1: the lamp follows the link

const QColor cLampClosed(255, 0, 0);
const QColor cLampOpen(0, 255, 0);

const QString cCommunication = QStringLiteral("Communicaion");
const QString cSimulation = QStringLiteral("Simulation");
const QString cVirtualItemName = QStringLiteral("PortVirtualController");

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
    SettingST->setStyleSheet(QStringLiteral("color: white;"));
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
}

QMenu* RemoconWindow::popupMenu() const
{
    return mPopup;
}

VirtualMonitor* RemoconWindow::virtualMonitor() const
{
    return mMonitor;
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
}

void RemoconWindow::SetSettingText()
{
    const QString mode = mRemType == cRemTypeCommunication ? cCommunication : cSimulation;
    SettingST->setText(mode + QLatin1Char('\n') + QStringLiteral("ID=") + QString::number(mRemID) +
                       QLatin1Char('\n') + QStringLiteral("#") + QString::number(mRemNum) +
                       QStringLiteral(" variable"));
}

void RemoconWindow::ClearTimer_Action()
{
    ClearRemoconValues();
}

void RemoconWindow::Timer1_Action()
{
    ConnectOV->setFillColor(gTw && gTw->mcpOpen() ? cLampOpen : cLampClosed);
}

bool RemoconWindow::ConnectOV_MouseDown(int, int)
{
    if (!gTw)
        return false;
    if (gTw->mcpOpen()) {
        // The user asked: close even when the preferences keep the link open.
        gTw->RbPortClose(true);
        ConnectOV->setFillColor(cLampClosed);
    } else if (gTw->RbPortOpen()) {
        ConnectOV->setFillColor(cLampOpen);
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

void RemoconWindow::Event_EnableMenuItems()
{
    MenuBar1::instance()->EnablePortItems(gTw && gTw->mcpOpen());
    if (QAction* item = PortVirtualController())
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

void RemoconWindow::closeEvent(QCloseEvent* event)
{
    // Closing the remote ends the program.
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
