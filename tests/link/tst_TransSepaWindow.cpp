// The controller window: controls, captions and geometry, what it shows of
// the link, its alerts and dialogs (answered here), and that it never
// appears on screen.
#include "FakeSerial.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "settings/PortSettingWindow.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <memory>

namespace {

QByteArray H(const char* hex)
{
    return QByteArray::fromHex(hex);
}

void Settle()
{
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();
}

// What a modal dialog showed, and the button the test pressed.
struct ModalSeen
{
    bool seen = false;
    QString className;
    QString title;
    QString text;
    QString informativeText;
    QStringList buttons;
};

// Answerers still waiting; a test that failed before its dialog appeared
// must not leave one behind to answer the next test's dialog.
QList<QPointer<QTimer>> gAnswerers;

void StopAnswerers()
{
    for (const QPointer<QTimer>& t : std::as_const(gAnswerers))
        delete t.data();
    gAnswerers.clear();
}

// Waits (in the modal's own event loop) for the next modal dialog, records
// it and presses the button captioned `press`.
void AnswerNextModal(ModalSeen* seen, const QString& press)
{
    auto* timer = new QTimer;
    gAnswerers.append(timer);
    timer->setInterval(5);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, seen, press, tries] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (++*tries > 2000)
                timer->deleteLater();
            return;
        }
        timer->stop();
        timer->deleteLater();
        seen->seen = true;
        seen->className = QString::fromLatin1(modal->metaObject()->className());
        seen->title = modal->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen->text = box->text();
            seen->informativeText = box->informativeText();
        }
        // The buttons the dialog offers the user (not those it keeps hidden).
        QAbstractButton* target = nullptr;
        for (QPushButton* b : modal->findChildren<QPushButton*>()) {
            if (b->isHidden())
                continue;
            seen->buttons.append(b->text());
            if (b->text() == press)
                target = b;
        }
        if (target)
            target->click();
        else if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->done(0);
    });
    timer->start();
}

void CloseLeftoverModals()
{
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->done(0);
        else
            modal->close();
        Settle();
    }
}

} // namespace

class TestTransSepaWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void creationOrder();
    void windowFrame();
    void neverOnScreen();
    void startState();
    void showsTheLink();
    void forwarding();
    void openFailureAlert_data();
    void openFailureAlert();
    void cableAlert();
    void readOutConfirmation_data();
    void readOutConfirmation();
    void shiftClickOnProgress_data();
    void shiftClickOnProgress();
    void foceCloseButton();
    void activation();
    void portSettingsButton();
    void commandWithoutPortAsksForOne_data();
    void commandWithoutPortAsksForOne();
    void followsTheProgramsPreferences();
    void closing();

private:
    QTemporaryDir mDir;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<FakeSerialDevice> mDev;
    SerialPortEntry mEntry;
    TransSepaWindow* mWin = nullptr;
};

void TestTransSepaWindow::initTestCase()
{
    QVERIFY(mDir.isValid());
    Services::setBeepHook([] {});
}

void TestTransSepaWindow::init()
{
    mDev = std::make_unique<FakeSerialDevice>();
    mEntry = mDev->entry(QStringLiteral("ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
    SerialPorts::setOverride({mEntry});
    mPref = std::make_unique<PreferClass>(QStringLiteral("VantorController IR"), mDir.path());
    mPref->mPortInfo = SerialPortInfo(mEntry);
    mPref->mNotAutoDisconnect = false;
    gPref = mPref.get();
    Services::resetBeepCount();
    Services::setShiftKeyOverride(0);
    mWin = new TransSepaWindow;
}

void TestTransSepaWindow::cleanup()
{
    StopAnswerers();
    CloseLeftoverModals();
    delete mWin;
    mWin = nullptr;
    Settle();
    gPref = nullptr;
    mPref.reset();
    mDev.reset();
    SerialPorts::clearOverride();
    Services::setShiftKeyOverride(-1);
}

void TestTransSepaWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<QString>("text");

    QTest::newRow("PrgPB") << "PrgPB" << QRect(201, 11, 130, 20) << false << QString();
    QTest::newRow("MsgST") << "MsgST" << QRect(148, 36, 167, 20) << true << QString();
    QTest::newRow("PrgST") << "PrgST" << QRect(118, 13, 62, 20) << true << QString();
    QTest::newRow("FoceClose") << "FoceClose" << QRect(349, 10, 123, 20) << false
                               << QStringLiteral("強制切断...");
    QTest::newRow("PortSetPB") << "PortSetPB" << QRect(10, 10, 120, 20) << true
                               << QStringLiteral("シリアル設定...");
}

void TestTransSepaWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(bool, visible);
    QFETCH(QString, text);

    auto* w = mWin->findChild<QWidget*>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->parentWidget(), mWin->centralWidget());
    QCOMPARE(w->isVisibleTo(mWin), visible);
    QVERIFY(w->isEnabled());
    QCOMPARE(w->font().pointSize(), 10);
    if (auto* label = qobject_cast<QLabel*>(w))
        QCOMPARE(label->text(), text);
    if (auto* button = qobject_cast<QPushButton*>(w))
        QCOMPARE(button->text(), text);
    if (auto* bar = qobject_cast<QProgressBar*>(w)) {
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->maximum(), 0);
    }
    if (name == QLatin1String("MsgST"))
        QVERIFY(mWin->MsgST->alignment() & Qt::AlignLeft);
    if (name == QLatin1String("PrgST"))
        QVERIFY(mWin->PrgST->alignment() & Qt::AlignRight);
}

void TestTransSepaWindow::creationOrder()
{
    QStringList names;
    for (QObject* child : mWin->centralWidget()->children()) {
        if (child->isWidgetType())
            names.append(child->objectName());
    }
    QCOMPARE(names, (QStringList{"PrgPB", "MsgST", "PrgST", "FoceClose", "PortSetPB"}));
}

void TestTransSepaWindow::windowFrame()
{
    QCOMPARE(mWin->windowTitle(), QStringLiteral("コントローラー"));
    QCOMPARE(mWin->centralWidget()->size(), QSize(486, 64));
    QCOMPARE(mWin->centralWidget()->palette().color(QPalette::Window), QColor(224, 224, 224));
    QVERIFY(mWin->centralWidget()->autoFillBackground());
    const Qt::WindowFlags flags = mWin->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    // Not resizable: fixed at its content plus the shared menu bar.
    QWidget* bar = mWin->menuWidget();
    QVERIFY(bar);
    QCOMPARE(bar->objectName(), QStringLiteral("MenuBar1"));
    QCOMPARE(mWin->minimumSize(), mWin->maximumSize());
    QCOMPARE(mWin->minimumWidth(), 486);
    QCOMPARE(mWin->minimumHeight(), 64 + bar->sizeHint().height());
}

void TestTransSepaWindow::neverOnScreen()
{
    // As the program's start-up does: move it to Left -30000.
    mWin->move(-30000, mWin->y());
    QCOMPARE(mWin->x(), -30000);
    // Open (shown) for the program...
    QVERIFY(mWin->isVisible());
    QVERIFY(mWin->testAttribute(Qt::WA_DontShowOnScreen));
    // Nor does it keep the program running once the visible windows closed.
    QVERIFY(!mWin->testAttribute(Qt::WA_QuitOnClose));
    // ...but no window of it ever reaches the screen.
    mWin->show();
    mWin->raise();
    Settle();
    QVERIFY(!mWin->windowHandle() || !mWin->windowHandle()->isVisible());
    for (QWindow* w : QGuiApplication::topLevelWindows())
        QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
}

void TestTransSepaWindow::startState()
{
    QCOMPARE(gTw, mWin);
    QVERIFY(mWin->MsgST->text().isEmpty());
    QVERIFY(mWin->PrgST->text().isEmpty());
    QCOMPARE(mWin->link()->MySerial->baud(), 9600);
    QCOMPARE(mWin->link()->cSRAM_READ, H("F7"));
    QCOMPARE(mWin->link()->cSRAM_WRITE, H("F8"));
    QCOMPARE(mWin->link()->cINTROM_READ, H("B3"));
    QCOMPARE(mWin->link()->cINTROM_WRITE, H("B4"));
    QCOMPARE(mWin->link()->cEXTROM_READ, H("F2"));
    QCOMPARE(mWin->link()->cEXTROM_WRITE, H("F4"));
    QVERIFY(!mWin->mcpOpen());
    QVERIFY(!mWin->link()->SerialBackUpTimer.isActive());
    QVERIFY(!mWin->link()->DirectCommandTimer.isActive());
    QVERIFY(!mWin->link()->StackTimer.isActive());
}

void TestTransSepaWindow::showsTheLink()
{
    ControllerLink* link = mWin->link();
    QVERIFY(link->Cmd_SRAM_READ(0x140, 3)); // maximum 12
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("接続OK... 9600 baud"));
    QVERIFY(mWin->PrgPB->isVisibleTo(mWin));
    QVERIFY(mWin->PrgST->isVisibleTo(mWin));
    QVERIFY(mWin->FoceClose->isVisibleTo(mWin));
    QCOMPARE(mWin->PrgPB->maximum(), 12);
    mDev->feed(H("00"));
    mDev->feed(H("00"));
    QCOMPARE(mWin->PrgPB->value(), 2);
    QCOMPARE(mWin->PrgST->text(), QStringLiteral("2/12"));

    mWin->SetMsg(QString());
    QVERIFY(mWin->MsgST->text().isEmpty());
    mWin->SetMsg(QStringLiteral("x"));
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("x"));
    QCOMPARE(link->mMsg, QStringLiteral("x"));

    // The value may run past the maximum in a stream; the bar stays sane.
    mWin->Cmd_Excute(H("41424344"), false); // maximum 2
    for (int i = 0; i < 3; ++i)
        mDev->feed(H("00"));
    QCOMPARE(link->PrgPB.Value, 3);
    QCOMPARE(mWin->PrgST->text(), QStringLiteral("3/2"));
    QCOMPARE(mWin->PrgPB->value(), 2);

    mWin->InitPrg(false);
    QVERIFY(!mWin->PrgPB->isVisibleTo(mWin));
    QVERIFY(!mWin->PrgST->isVisibleTo(mWin));

    mWin->RbPortClose(true);
    QVERIFY(!mWin->FoceClose->isVisibleTo(mWin));
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("切断..."));

    mWin->SetLog(H("01AB"), QByteArray());
    QCOMPARE(link->mMcpLog, QStringLiteral("R: 01AB\r"));
}

void TestTransSepaWindow::forwarding()
{
    mDev->setEcho();
    mWin->Cmd_Excute(H("0102"), true);
    QVERIFY(mWin->mcpOpen());
    QTRY_VERIFY_WITH_TIMEOUT(mWin->link()->mMcpFinish, 5000);
    QCOMPARE(mDev->written(), H("0102"));
    QVERIFY(!mWin->mcpOpen());

    QVERIFY(mWin->RbPortOpen());
    QVERIFY(mWin->mcpOpen());
    mWin->RbPortClose(true);
    QVERIFY(!mWin->mcpOpen());

    // A port handed over by the settings dialog is opened without a search.
    FakeSerialDevice other;
    const SerialPortEntry otherEntry = other.entry(QStringLiteral("ttyUSB1"));
    mPref->mPortInfo = SerialPortInfo(otherEntry);
    mWin->setSerialPort(otherEntry);
    QVERIFY(mWin->RbPortOpen());
    QCOMPARE(other.openCount(), 1);
    QCOMPARE(mWin->link()->mMsg, QStringLiteral("接続OK... 9600 baud"));
    mWin->RbPortClose(true);
    Settle();
}

void TestTransSepaWindow::openFailureAlert_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reasonPart");
    QTest::newRow("permission") << int(SerialError::PermissionDenied) << "dialout";
    QTest::newRow("busy") << int(SerialError::Busy) << "使用中";
    QTest::newRow("gone") << int(SerialError::NotFound) << "見つかりません";
}

void TestTransSepaWindow::openFailureAlert()
{
    QFETCH(int, error);
    QFETCH(QString, reasonPart);
    mDev->setOpenFailure(SerialError(error), QStringLiteral("Permission denied"));
    ModalSeen seen;
    AnswerNextModal(&seen, QStringLiteral("OK"));
    QVERIFY(!mWin->RbPortOpen());
    QVERIFY(seen.seen);
    QCOMPARE(seen.buttons, QStringList{QStringLiteral("OK")});
    QCOMPARE(seen.text, QStringLiteral("コントローラーに接続できませんでした..."));
    const QStringList lines = seen.informativeText.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("電源がオンになっているか確認して下さい..."));
    QVERIFY2(lines.at(1).contains(reasonPart), qPrintable(lines.at(1)));
    QVERIFY(seen.title.isEmpty());
    QCOMPARE(Services::beepCount(), 1);
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("ttyUSB0に接続します..."));
    QVERIFY(!mWin->mcpOpen());
}

void TestTransSepaWindow::cableAlert()
{
    mPref->mPortInfo->mName = QStringLiteral("ttyACM9");
    ModalSeen seen;
    AnswerNextModal(&seen, QStringLiteral("OK"));
    mWin->Cmd_Excute(H("01"), true);
    QVERIFY(seen.seen);
    QCOMPARE(seen.text, QStringLiteral("コントローラーに接続できませんでした..."));
    QCOMPARE(seen.informativeText, QStringLiteral("ケーブルが接続されていない可能性があります..."));
    QCOMPARE(seen.buttons, QStringList{QStringLiteral("OK")});
    QCOMPARE(Services::beepCount(), 1);
    QVERIFY(!mPref->mPortInfo.has_value());
    QVERIFY(mDev->written().isEmpty());
    QVERIFY(!mWin->PrgPB->isVisibleTo(mWin));
}

void TestTransSepaWindow::readOutConfirmation_data()
{
    QTest::addColumn<QString>("press");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("開始") << QStringLiteral("開始") << H("F2");
    QTest::newRow("キャンセル") << QStringLiteral("キャンセル") << QByteArray();
}

void TestTransSepaWindow::readOutConfirmation()
{
    QFETCH(QString, press);
    QFETCH(QByteArray, written);
    ModalSeen seen;
    AnswerNextModal(&seen, press);
    mWin->link()->MyCmd_GET_PROGRAM_CODE();
    QVERIFY(seen.seen);
    QCOMPARE(seen.title, QStringLiteral("プログラムの読込み"));
    QCOMPARE(
        seen.text,
        QStringLiteral("コントローラーに転送されているプログラムをコンピュータに読込みます。"));
    QCOMPARE(seen.informativeText,
             QStringLiteral("読込みには、少々時間がかかります。宜しいですか？"));
    QVERIFY(seen.buttons.contains(QStringLiteral("開始")));
    QVERIFY(seen.buttons.contains(QStringLiteral("キャンセル")));
    QCOMPARE(seen.buttons.size(), 2);
    QCOMPARE(Services::beepCount(), 1);
    QCOMPARE(mDev->written(), written);
    QCOMPARE(mWin->link()->DirectCommandTimer.isActive(), !written.isEmpty());
    mWin->link()->DirectCommandTimer.stop();
}

void TestTransSepaWindow::shiftClickOnProgress_data()
{
    QTest::addColumn<bool>("shift");
    QTest::newRow("shift held ends the exchange") << true;
    QTest::newRow("plain click does nothing") << false;
}

void TestTransSepaWindow::shiftClickOnProgress()
{
    QFETCH(bool, shift);
    mWin->Cmd_Excute(H("414243"), true);
    QVERIFY(mWin->mcpOpen());
    Services::setShiftKeyOverride(shift ? 1 : 0);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, shift ? Qt::ShiftModifier : Qt::NoModifier);
    QApplication::sendEvent(mWin->PrgPB, &press);
    QCOMPARE(mWin->mcpOpen(), !shift);
    QCOMPARE(mWin->link()->mMcpCmd.isEmpty(), shift);
    QCOMPARE(mDev->isOpen(), !shift);
    QVERIFY(!mWin->PrgPB_MouseDown(0, 0));
}

void TestTransSepaWindow::foceCloseButton()
{
    mWin->Cmd_Excute(H("4142"), false);
    QVERIFY(mWin->FoceClose->isVisibleTo(mWin));
    mWin->FoceClose->click();
    QVERIFY(!mWin->FoceClose->isVisibleTo(mWin));
    QVERIFY(!mWin->mcpOpen());
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("切断..."));

    // A serial error shows it again, with its message.
    mWin->Cmd_Excute(H("4142"), false);
    mWin->link()->SetFoceCloseVisible(false);
    mDev->raiseError(SerialError::Other, QStringLiteral("overrun"));
    QVERIFY(mWin->FoceClose->isVisibleTo(mWin));
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("エラーが起きました..."));
    QCOMPARE(Services::beepCount(), 1);
}

void TestTransSepaWindow::activation()
{
    mWin->Event_Deactivate();
    QVERIFY(!mWin->FoceClose->isEnabled());
    mWin->Event_Activate();
    QVERIFY(mWin->FoceClose->isEnabled());
    // The window is never active (never on screen): an activation change
    // leaves the button disabled.
    QEvent change(QEvent::ActivationChange);
    QApplication::sendEvent(mWin, &change);
    QVERIFY(!mWin->FoceClose->isEnabled());
}

void TestTransSepaWindow::portSettingsButton()
{
    ModalSeen seen;
    AnswerNextModal(&seen, QStringLiteral("キャンセル"));
    mWin->PortSetPB->click();
    QVERIFY(seen.seen);
    QCOMPARE(seen.className, QStringLiteral("PortSettingWindow"));
    // Cancel forgets the chosen port.
    QVERIFY(!mPref->mPortInfo.has_value());
}

void TestTransSepaWindow::commandWithoutPortAsksForOne_data()
{
    QTest::addColumn<QString>("press");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("OK chooses the listed port") << QStringLiteral("OK") << H("2A");
    QTest::newRow("Cancel sends nothing") << QStringLiteral("キャンセル") << QByteArray();
}

void TestTransSepaWindow::commandWithoutPortAsksForOne()
{
    QFETCH(QString, press);
    QFETCH(QByteArray, written);
    mPref->mPortInfo.reset();
    ModalSeen seen;
    AnswerNextModal(&seen, press);
    mWin->Cmd_Excute(H("2A"), true);
    QVERIFY(seen.seen);
    QCOMPARE(seen.className, QStringLiteral("PortSettingWindow"));
    QCOMPARE(mDev->written(), written);
    QCOMPARE(mWin->mcpOpen(), !written.isEmpty());
    // No alert followed the dialog.
    QCOMPARE(Services::beepCount(), 0);
}

void TestTransSepaWindow::followsTheProgramsPreferences()
{
    // Start-up may make gPref anew after the window exists; the window uses
    // whichever preferences gPref refers to.
    PreferClass other(QStringLiteral("VantorController IR"), mDir.path());
    other.mPortInfo = SerialPortInfo(mEntry);
    other.mNotAutoDisconnect = true;
    gPref = &other;
    QVERIFY(mWin->RbPortOpen());
    mWin->RbPortClose(false);
    QVERIFY(mWin->mcpOpen());
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("接続中..."));
    other.mNotAutoDisconnect = false;
    mWin->RbPortClose(false);
    QVERIFY(!mWin->mcpOpen());
    gPref = mPref.get();
}

void TestTransSepaWindow::closing()
{
    mPref->mNotAutoDisconnect = true;
    QVERIFY(mWin->RbPortOpen());
    QCOMPARE(gTw, mWin);
    mWin->close();
    QCOMPARE(gTw, nullptr);
    // The link ends in its ordinary way: NotAutoDisconnect keeps the port.
    QVERIFY(mDev->isOpen());
    QCOMPARE(mWin->link()->mMcpStep, -1);

    mPref->mNotAutoDisconnect = false;
    delete mWin;
    mWin = new TransSepaWindow;
    QCOMPARE(gTw, mWin);
    QVERIFY(mWin->RbPortOpen());
    mWin->close();
    QVERIFY(!mDev->isOpen());
    QCOMPARE(gTw, nullptr);
}

QTEST_MAIN(TestTransSepaWindow)
#include "tst_TransSepaWindow.moc"
