// The controller window: controls, captions and geometry, what it shows of
// the link, its alerts and dialogs (answered here), and that it never
// appears on screen.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <memory>

class TestTransSepaWindow;
using T = TestTransSepaWindow;
using Action = std::function<void(T*)>;
Q_DECLARE_METATYPE(Action)

namespace {

// What a modal dialog showed.
struct ModalSeen
{
    QString className, title, text, informativeText;
    QStringList buttons;
};

// Answerers still waiting: a test that failed before its dialog appeared
// must not leave one behind to answer the next test's dialog.
QList<QPointer<QTimer>> gAnswerers;

// Waits, in the modal's own event loop, for the next modal dialog, records
// it and presses the visible button captioned `press`.
void AnswerNextModal(ModalSeen* seen, const QString& press)
{
    auto* timer = new QTimer;
    gAnswerers.append(timer);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, seen, press] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        timer->deleteLater();
        timer->stop();
        seen->className = QString::fromLatin1(modal->metaObject()->className());
        seen->title = modal->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen->text = box->text();
            seen->informativeText = box->informativeText();
        }
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
    void windowFrame();
    void neverOnScreen();
    void showsTheLink();
    void handedOverPort();
    void dialogs_data();
    void dialogs();
    void shiftClickOnProgress_data();
    void shiftClickOnProgress();
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
    for (const QPointer<QTimer>& t : std::as_const(gAnswerers))
        delete t.data();
    gAnswerers.clear();
    gPref = mPref.get(); // a test may have pointed it elsewhere
    while (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        modal->done(0);
        Settle();
    }
    delete mWin;
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
    QTest::addColumn<QString>("text"); // message line and count text start empty
    QTest::newRow("PrgPB") << "PrgPB" << QRect(201, 11, 130, 20) << false << QString();
    QTest::newRow("MsgST") << "MsgST" << QRect(148, 36, 167, 20) << true << QString();
    QTest::newRow("PrgST") << "PrgST" << QRect(118, 13, 62, 20) << true << QString();
    QTest::newRow("FoceClose") << "FoceClose" << QRect(349, 10, 123, 20) << false << "強制切断...";
    QTest::newRow("PortSetPB") << "PortSetPB" << QRect(10, 10, 120, 20) << true
                               << "シリアル設定...";
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
    QCOMPARE(w->font().pointSize(), 10);
    if (auto* label = qobject_cast<QLabel*>(w))
        QCOMPARE(label->text(), text);
    if (auto* button = qobject_cast<QPushButton*>(w))
        QCOMPARE(button->text(), text);
}

void TestTransSepaWindow::windowFrame()
{
    QCOMPARE(gTw, mWin);
    QVERIFY(!mWin->mcpOpen());
    QCOMPARE(mWin->windowTitle(), QStringLiteral("コントローラー"));
    QStringList order;
    for (QObject* child : mWin->centralWidget()->children()) {
        if (child->isWidgetType())
            order.append(child->objectName());
    }
    QCOMPARE(order, (QStringList{"PrgPB", "MsgST", "PrgST", "FoceClose", "PortSetPB"}));
    QVERIFY(mWin->MsgST->alignment() & Qt::AlignLeft);
    QVERIFY(mWin->PrgST->alignment() & Qt::AlignRight);
    QCOMPARE(mWin->centralWidget()->palette().color(QPalette::Window), QColor(224, 224, 224));
    const Qt::WindowFlags flags = mWin->windowFlags();
    QVERIFY((flags & Qt::WindowCloseButtonHint) && (flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    // Fixed at its content plus the shared menu bar.
    QCOMPARE(mWin->menuWidget()->objectName(), QStringLiteral("MenuBar1"));
    QCOMPARE(mWin->minimumSize(), mWin->maximumSize());
    QCOMPARE(mWin->minimumSize(), QSize(486, 64 + mWin->menuWidget()->sizeHint().height()));
}

void TestTransSepaWindow::neverOnScreen()
{
    // Open for the program at Left -30000, yet never mapped on screen, and
    // it does not keep the program running once the visible windows closed.
    mWin->move(-30000, mWin->y());
    QCOMPARE(mWin->x(), -30000);
    QVERIFY(mWin->isVisible());
    QVERIFY(!mWin->testAttribute(Qt::WA_QuitOnClose));
    mWin->show();
    mWin->raise();
    Settle();
    for (QWindow* w : QGuiApplication::topLevelWindows())
        QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
}

void TestTransSepaWindow::showsTheLink()
{
    QVERIFY(mWin->link()->Cmd_SRAM_READ(0x140, 3));
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("接続OK... 9600 baud"));
    QVERIFY(mWin->FoceClose->isVisibleTo(mWin) && mWin->PrgST->isVisibleTo(mWin));
    mDev->feed(H("00"));
    mDev->feed(H("00"));
    QCOMPARE(mWin->PrgPB->maximum(), 12);
    QCOMPARE(mWin->PrgPB->value(), 2);
    QCOMPARE(mWin->PrgST->text(), QStringLiteral("2/12"));
    // A stream's count may run past its maximum; the bar stays within.
    mWin->Cmd_Excute(H("41424344"), false);
    for (int i = 0; i < 3; ++i)
        mDev->feed(H("00"));
    QCOMPARE(mWin->PrgST->text(), QStringLiteral("3/2"));
    QCOMPARE(mWin->PrgPB->value(), 2);
    mWin->FoceClose->click();
    QVERIFY(!mWin->mcpOpen());
    QVERIFY(!mWin->PrgPB->isVisibleTo(mWin) && !mWin->FoceClose->isVisibleTo(mWin));
    QCOMPARE(mWin->MsgST->text(), QStringLiteral("切断..."));
}

void TestTransSepaWindow::handedOverPort()
{
    // A port handed over by the settings dialog is opened without a search.
    FakeSerialDevice other;
    const SerialPortEntry otherEntry = other.entry(QStringLiteral("ttyUSB1"));
    mPref->mPortInfo = SerialPortInfo(otherEntry);
    SerialPorts::setOverride({});
    mWin->setSerialPort(otherEntry);
    QVERIFY(mWin->RbPortOpen());
    QVERIFY(mWin->mcpOpen());
    QCOMPARE(other.openCount(), 1);
    mWin->RbPortClose(true);
    Settle();
}

void TestTransSepaWindow::dialogs_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("press");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QStringList>("shown"); // title, text, informative text, buttons
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<bool>("portKept");
    QTest::addColumn<int>("beeps");
    const Action readOut = [](T* t) { t->mWin->link()->MyCmd_GET_PROGRAM_CODE(); };
    const QStringList readOutShown{
        "プログラムの読込み",
        "コントローラーに転送されているプログラムをコンピュータに読込みます。",
        "読込みには、少々時間がかかります。宜しいですか？", "開始", "キャンセル"};
    const Action noPort = [](T* t) {
        t->mPref->mPortInfo.reset();
        t->mWin->Cmd_Excute(H("2A"), true);
    };
    const QString box = QStringLiteral("QMessageBox"), dialog = QStringLiteral("PortSettingWindow");
    const Action refused = [](T* t) {
        t->mDev->setOpenFailure(SerialError::Busy);
        t->mWin->RbPortOpen();
    };
    const QStringList refusedShown{
        "", "コントローラーに接続できませんでした...",
        "電源がオンになっているか確認して下さい...\nポートは他のプログラムが使用中です。", "OK"};
    QTest::newRow("port refused") << refused << "OK" << box << refusedShown << QByteArray() << true
                                  << 1;
    QTest::newRow("read-out 開始")
        << readOut << "開始" << box << readOutShown << H("F2") << true << 1;
    QTest::newRow("read-out キャンセル")
        << readOut << "キャンセル" << box << readOutShown << QByteArray() << true << 1;
    QTest::newRow("no port: OK takes the listed one")
        << noPort << "OK" << dialog << QStringList() << H("2A") << true << 0;
    QTest::newRow("no port: cancel sends nothing")
        << noPort << "キャンセル" << dialog << QStringList() << QByteArray() << false << 0;
    QTest::newRow("settings button: cancel forgets the port")
        << Action([](T* t) { t->mWin->PortSetPB->click(); }) << "キャンセル" << dialog
        << QStringList() << QByteArray() << false << 0;
}

void TestTransSepaWindow::dialogs()
{
    QFETCH(Action, action);
    QFETCH(QString, press);
    QFETCH(QString, className);
    QFETCH(QStringList, shown);
    QFETCH(QByteArray, written);
    QFETCH(bool, portKept);
    QFETCH(int, beeps);
    ModalSeen seen;
    AnswerNextModal(&seen, press);
    action(this);
    QCOMPARE(seen.className, className);
    if (!shown.isEmpty())
        QCOMPARE(QStringList({seen.title, seen.text, seen.informativeText}) + seen.buttons, shown);
    QCOMPARE(mDev->written(), written);
    QCOMPARE(mPref->mPortInfo.has_value(), portKept);
    QCOMPARE(Services::beepCount(), beeps);
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
    Services::setShiftKeyOverride(shift ? 1 : 0);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, shift ? Qt::ShiftModifier : Qt::NoModifier);
    QApplication::sendEvent(mWin->PrgPB, &press);
    QCOMPARE(mWin->mcpOpen(), !shift);
    QCOMPARE(mWin->link()->mMcpCmd.isEmpty(), shift);
    QCOMPARE(mDev->isOpen(), !shift);
}

void TestTransSepaWindow::followsTheProgramsPreferences()
{
    // Start-up may make gPref anew after the window exists.
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
    // Closing ends the link in its ordinary way and clears gTw.
    mPref->mNotAutoDisconnect = true;
    QVERIFY(mWin->RbPortOpen());
    mWin->close();
    QCOMPARE(gTw, nullptr);
    QVERIFY(mDev->isOpen());
    QCOMPARE(mWin->link()->mMcpStep, -1);
    delete mWin;
    mWin = new TransSepaWindow;
    mPref->mNotAutoDisconnect = false;
    QVERIFY(mWin->RbPortOpen());
    mWin->close();
    QVERIFY(!mDev->isOpen());
}

QTEST_MAIN(TestTransSepaWindow)
#include "tst_TransSepaWindow.moc"
