#include "TransSepaWindow.h"

#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "app/MsgDlg.h"
#include "platform/Services.h"
#include "settings/PortSettingWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLayout>
#include <QMouseEvent>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

TransSepaWindow* gTw = nullptr;

namespace {

constexpr QSize kContentSize(486, 64);
const QColor kBackground(224, 224, 224);
constexpr int kFontPointSize = 10;
constexpr qint32 kBaud = 9600;

} // namespace

TransSepaWindow::TransSepaWindow(QWidget* parent) : TransSepaWindow(nullptr, parent) {}

TransSepaWindow::TransSepaWindow(PreferClass* pref, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint),
      mLink(std::make_unique<ControllerLink>(pref, this)),
      mScheduler(std::make_unique<BoardScheduler>(mLink.get()))
{
    setWindowTitle(QStringLiteral("コントローラー"));
    // Never mapped: the window exists, has its controls and counts as open,
    // but no window manager can bring it on screen.
    setAttribute(Qt::WA_DontShowOnScreen);
    // Nothing of it is ever seen, so nothing of it is painted: its controls
    // keep their state, but a progress bar that repaints itself at once on
    // every answer would cost the line time between two commands.
    setUpdatesEnabled(false);
    // Being invisible, it must not keep the program alive after the user
    // closed every window there is to see.
    setAttribute(Qt::WA_QuitOnClose, false);

    mContent = new QWidget(this);
    // The controls' text: the system font at size 10 (the menu bar keeps its own).
    QFont font = QApplication::font();
    font.setPointSize(kFontPointSize);
    mContent->setFont(font);
    mContent->setObjectName(QStringLiteral("TransSepaContent"));
    mContent->setFixedSize(kContentSize);
    QPalette pal = mContent->palette();
    pal.setColor(QPalette::Window, kBackground);
    mContent->setPalette(pal);
    mContent->setAutoFillBackground(true);
    setCentralWidget(mContent);

    CreateControls();
    // The shared menus, on a bar of the window's own (it installs itself).
    MenuBar1::instance()->createMenuBarFor(this);
    FitToContent();

    Event_Open();
    // Created and shown: open for its port and timers, yet never on screen.
    show();
}

TransSepaWindow::~TransSepaWindow()
{
    if (gTw == this)
        gTw = nullptr;
    // The jobs end first, then the link, while the view it talks to still
    // exists.
    mScheduler.reset();
    mLink->setView(nullptr);
    mLink.reset();
}

void TransSepaWindow::CreateControls()
{
    PrgPB = new QProgressBar(mContent);
    PrgPB->setObjectName(QStringLiteral("PrgPB"));
    PrgPB->setGeometry(201, 11, 130, 20);
    PrgPB->setRange(0, 0);
    PrgPB->setValue(0);
    PrgPB->setTextVisible(false);
    PrgPB->hide();
    PrgPB->installEventFilter(this);

    MsgST = new QLabel(QStringLiteral("Open..."), mContent);
    MsgST->setObjectName(QStringLiteral("MsgST"));
    MsgST->setGeometry(148, 36, 167, 20);
    MsgST->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    MsgST_Open();

    PrgST = new QLabel(QStringLiteral("0/100"), mContent);
    PrgST->setObjectName(QStringLiteral("PrgST"));
    PrgST->setGeometry(118, 13, 62, 20);
    PrgST->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    PrgST_Open();

    FoceClose = new QPushButton(QStringLiteral("強制切断..."), mContent);
    FoceClose->setObjectName(QStringLiteral("FoceClose"));
    FoceClose->setGeometry(349, 10, 123, 20);
    FoceClose->hide();
    connect(FoceClose, &QPushButton::clicked, this, &TransSepaWindow::FoceClose_Action);

    PortSetPB = new QPushButton(QStringLiteral("シリアル設定..."), mContent);
    PortSetPB->setObjectName(QStringLiteral("PortSetPB"));
    PortSetPB->setGeometry(10, 10, 120, 20);
    connect(PortSetPB, &QPushButton::clicked, this, &TransSepaWindow::PortSetPB_Action);
}

void TransSepaWindow::FitToContent()
{
    // The content keeps its 486 x 64; the window grows by its menu bar.
    const QWidget* bar = menuWidget();
    const int barHeight = bar ? bar->sizeHint().height() : 0;
    setFixedSize(kContentSize.width(), kContentSize.height() + barHeight);
}

// --- For other windows --------------------------------------------------------

void TransSepaWindow::Cmd_Excute(const QByteArray& data, bool allowClose)
{
    mLink->Cmd_Excute(data, allowClose);
}

bool TransSepaWindow::RbPortOpen()
{
    return mLink->RbPortOpen();
}

void TransSepaWindow::RbPortClose(bool force)
{
    mLink->RbPortClose(force);
}

bool TransSepaWindow::mcpOpen() const
{
    return mLink->mMcpOpen;
}

void TransSepaWindow::setSerialPort(const SerialPortEntry& port)
{
    mLink->mSerialPort = port;
}

// --- Display operations -------------------------------------------------------

void TransSepaWindow::SetMsg(const QString& text)
{
    // Called by the link (which keeps the text) and by anyone showing a line.
    if (mLink && mLink->mMsg != text) {
        mLink->SetMsg(text);
        return;
    }
    MsgST->setText(text);
}

void TransSepaWindow::EnableControllerButtons(bool enable)
{
    // This window has no controller buttons.
    (void)enable;
}

void TransSepaWindow::ShowProgress(const ProgressBarState& bar, const StaticTextState& count)
{
    // The link counts past the maximum; the bar only shows what fits.
    PrgPB->setRange(0, std::max(bar.Maximum, 0));
    PrgPB->setValue(std::clamp(bar.Value, 0, std::max(bar.Maximum, 0)));
    PrgPB->setVisible(bar.Visible);
    PrgST->setText(count.Text);
    PrgST->setVisible(count.Visible);
}

void TransSepaWindow::SetFoceCloseVisible(bool visible)
{
    FoceClose->setVisible(visible);
}

void TransSepaWindow::ShowPortSettings()
{
    PortSettingWindow::OpenModal();
}

int TransSepaWindow::Alert(int icon, const QString& actionCaption, const QString& cancelCaption,
                           const QString& alternateCaption, const QString& message,
                           const QString& explanation, const QString& title)
{
    return MsgDlg(icon, actionCaption, cancelCaption, alternateCaption, message, explanation,
                  title);
}

void TransSepaWindow::Beep()
{
    Services::Beep();
}

// --- Events -------------------------------------------------------------------

void TransSepaWindow::Event_Open()
{
    gTw = this;
    mLink->InitCmd();
    mLink->MySerial->setBaud(kBaud);
}

void TransSepaWindow::Event_Close()
{
    gTw = nullptr;
    mLink->RbPortClose(false);
    QCoreApplication::quit();
}

void TransSepaWindow::closeEvent(QCloseEvent* event)
{
    Event_Close();
    event->accept();
}

void TransSepaWindow::Event_Activate()
{
    FoceClose->setEnabled(true);
}

void TransSepaWindow::Event_Deactivate()
{
    FoceClose->setEnabled(false);
}

void TransSepaWindow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange) {
        if (isActiveWindow())
            Event_Activate();
        else
            Event_Deactivate();
    }
    QMainWindow::changeEvent(event);
}

bool TransSepaWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == PrgPB && event->type() == QEvent::MouseButtonPress) {
        const auto* me = static_cast<QMouseEvent*>(event);
        const QPoint p = me->position().toPoint();
        return PrgPB_MouseDown(p.x(), p.y());
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TransSepaWindow::PrgPB_MouseDown(int x, int y)
{
    (void)x;
    (void)y;
    // Shift-click on the progress bar ends the exchange.
    if (Services::ShiftKeyDown())
        mLink->RbPortClose(false);
    return false;
}

void TransSepaWindow::PortSetPB_Action()
{
    PortSettingWindow::OpenModal();
}

void TransSepaWindow::FoceClose_Action()
{
    mLink->FoceClose_Action();
}

void TransSepaWindow::MsgST_Open()
{
    MsgST->setText(QString());
}

void TransSepaWindow::PrgST_Open()
{
    PrgST->setText(QString());
}
