#include "FakeSerial.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "emulator/QmcModel.h"
#include "emulator/VirtualController.h"
#include "link/TransSepaWindow.h"
#include "remote/IRRemModule.h"
#include "remote/MyPicBtnClass.h"
#include "remote/RemoconWindow.h"
#include "remote/RoundRectangle.h"
#include "remote/VirtualMonitor.h"
#include "settings/PortSettingWindow.h"
#include "settings/PreferClass.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QColor cRed(255, 0, 0);
const QColor cGreen(0, 255, 0);
const QString cPortName = QStringLiteral("FAKE1");

// Answers every modal window that shows up by rejecting it, and records
// which kinds showed up, in order. Stops with the test function.
class ModalWatcher : public QObject
{
public:
    ModalWatcher()
    {
        connect(&mTimer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            seen << QString::fromLatin1(modal->metaObject()->className());
            // The port dialog closes only through its own buttons.
            if (auto* cancel = modal->findChild<QAbstractButton*>(QStringLiteral("CancelPB")))
                cancel->click();
            else if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
        });
        mTimer.start(20);
    }
    QStringList seen;

private:
    QTimer mTimer;
};

} // namespace

class TestRemoconWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void layout();
    void cursors();
    void keyBytes_data();
    void keyBytes();
    void popupItems();
    void popupChoice_data();
    void popupChoice();
    void contextClickOnKeySendsItsCode();
    void clickWhileLinkClosedStillSends();
    void lampFollowsLink();
    void portMenuCaptionFollowsLink();
    void portConnectPaths_data();
    void portConnectPaths();
    void lampClickClosesEvenWithNotAutoDisconnect();
    void portSettingOpensDialog();
    void virtualControllerItem();
    void monitorShowsClicksOnTheVirtualController();
    void clearTimer();
    void closingQuits(); // last: it ends the event loop

private:
    void waitIdle();
    void clickKey(int index, Qt::MouseButton button = Qt::LeftButton);
    void openPopup();

    QTemporaryDir mDir;
    FakeSerialDevice* mFake = nullptr;
    TransSepaWindow* mTw = nullptr;
    RemoconWindow* mWin = nullptr;
};

void TestRemoconWindow::initTestCase()
{
    QVERIFY(mDir.isValid());
    mFake = new FakeSerialDevice(this);
    mFake->setEcho();
    // The scripted port first, the built-in virtual controller last.
    VirtualController::setImitateLine(false);
    SerialPorts::setOverride({mFake->entry(cPortName, QStringLiteral("in"), QStringLiteral("out")),
                              VirtualController::builtInPortEntry()});
    gPref = new PreferClass(QStringLiteral("VantorController IR"), mDir.path());
    mTw = new TransSepaWindow;
    QCOMPARE(gTw, mTw);
    mWin = new RemoconWindow;
    mWin->show();
    QVERIFY(QTest::qWaitForWindowExposed(mWin));
}

void TestRemoconWindow::init()
{
    if (gTw && gTw->mcpOpen())
        gTw->RbPortClose(true);
    mWin->Timer1_Action(); // the lamp shows the closed link
    gPref->mPortInfo = SerialPortInfo(SerialPorts::at(0));
    gPref->mNotAutoDisconnect = false;
    mFake->clearOpenFailure();
    mFake->clearWritten();
    mWin->mRemType = 0;
    mWin->Event_Open(); // ID 1, variable 1
}

void TestRemoconWindow::cleanup()
{
    // A failed check must not leave a modal window or a pop-up behind.
    while (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
    if (QMenu* menu = mWin->popupMenu())
        menu->close();
}

void TestRemoconWindow::cleanupTestCase()
{
    delete mWin;
    delete mTw;
    delete gPref;
    gPref = nullptr;
    SerialPorts::clearOverride();
}

void TestRemoconWindow::waitIdle()
{
    // The exchange started by a click ends, and the link closes the port.
    if (!gTw->link()->mMcpFinish) {
        QSignalSpy finished(gTw->link(), &ControllerLink::mcpFinished);
        QVERIFY(finished.wait(5000));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!gTw->mcpOpen(), 5000);
}

void TestRemoconWindow::clickKey(int index, Qt::MouseButton button)
{
    MyPicBtnClass* key = mWin->IRRCnv[index];
    QTest::mouseClick(key, button, {}, QPoint(key->width() / 2, key->height() / 2));
}

void TestRemoconWindow::openPopup()
{
    // On the settings text, which passes its clicks to the window.
    const QPoint pos = mWin->SettingST->mapTo(mWin, QPoint(50, 24));
    QTest::mouseClick(mWin->windowHandle(), Qt::RightButton, {}, pos);
    QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
}

void TestRemoconWindow::layout()
{
    QCOMPARE(mWin->windowTitle(), QStringLiteral("Remocon"));
    QCOMPARE(mWin->content()->size(), QSize(133, 398));
    QVERIFY(!(mWin->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(mWin->minimumSize(), mWin->maximumSize());

    // Creation order of the key array, then the settings text and the lamp.
    QList<int> order;
    QList<QWidget*> controls;
    for (QObject* child : mWin->content()->children()) {
        if (auto* key = qobject_cast<MyPicBtnClass*>(child))
            order << key->Index;
        if (child->isWidgetType())
            controls << static_cast<QWidget*>(child);
    }
    QCOMPARE(order, (QList<int>{25, 19, 16, 1,  2,  3,  4,  5,  6,  7,  8,  9,  22, 10, 24, 11, 12,
                                14, 13, 26, 15, 21, 20, 28, 29, 30, 17, 31, 27, 18, 23, 32, 0}));
    QCOMPARE(controls.size(), 35);
    QCOMPARE(controls.at(33), mWin->SettingST);
    QCOMPARE(controls.at(34), static_cast<QWidget*>(mWin->ConnectOV));

    // Spot checks from the key table.
    QCOMPARE(mWin->IRRCnv[16]->geometry(), QRect(86, 32, 24, 24));
    QCOMPARE(mWin->IRRCnv[26]->geometry(), QRect(50, 184, 34, 14));
    QCOMPARE(mWin->IRRCnv[13]->geometry(), QRect(87, 173, 18, 36));
    QCOMPARE(mWin->IRRCnv[23]->geometry(), QRect(86, 296, 21, 18));
    QCOMPARE(mWin->IRRCnv[0]->geometry(), QRect(-29, 9, 18, 18));
    for (int i = 0; i <= 32; ++i) {
        MyPicBtnClass* key = mWin->IRRCnv[i];
        QCOMPARE(key->geometry(), IRRCnvGeometry()[i]);
        QCOMPARE(key->toolTip(), QStringLiteral("#%1").arg(i));
        QVERIFY(key->Over);
        QVERIFY(!key->Toggle);
        QCOMPARE(key->focusPolicy(), Qt::NoFocus);
        // The shared all-white picture: the keys seen are the backdrop's.
        QCOMPARE(key->BtnPic, mWin->mPic);
        QCOMPARE(qAlpha(key->mUp.pixel(3, 3)), 0);
    }
    QCOMPARE(mWin->mPic.size(), QSize(12, 6));
    // Member 0 is never under the pointer anywhere in the content.
    QVERIFY(!QRect(0, 0, 133, 398).intersects(mWin->IRRCnv[0]->geometry()));

    QCOMPARE(mWin->SettingST->geometry(), QRect(17, 326, 100, 48));
    QCOMPARE(mWin->SettingST->text(), QStringLiteral("Communicaion\nID=1\n#1 variable"));
    QCOMPARE(mWin->SettingST->toolTip(), QStringLiteral("Right-Click, change variable number..."));
    QCOMPARE(mWin->ConnectOV->geometry(), QRect(22, 22, 24, 12));
    QCOMPARE(mWin->ConnectOV->FillColor(), cRed);
    QCOMPARE(mWin->ConnectOV->toolTip(), QStringLiteral("接続／切断..."));
    QVERIFY(!mWin->ClearTimer.isActive());
    QCOMPARE(mWin->ClearTimer.interval(), 1000);
    QVERIFY(mWin->Timer1.isActive());
    QCOMPARE(mWin->Timer1.interval(), 300);
}

void TestRemoconWindow::cursors()
{
    // The pointing finger over the keys and the lamp, the arrow elsewhere.
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QEvent leave(QEvent::Leave);
    MyPicBtnClass* key = mWin->IRRCnv[12];
    QApplication::sendEvent(key, &enter);
    QCOMPARE(key->cursor().shape(), Qt::PointingHandCursor);
    QApplication::sendEvent(key, &leave);
    QCOMPARE(key->cursor().shape(), Qt::ArrowCursor);

    QApplication::sendEvent(mWin->ConnectOV, &enter);
    QCOMPARE(mWin->ConnectOV->cursor().shape(), Qt::PointingHandCursor);
    QApplication::sendEvent(mWin->ConnectOV, &leave);
    QCOMPARE(mWin->ConnectOV->cursor().shape(), Qt::ArrowCursor);
}

void TestRemoconWindow::keyBytes_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("variable");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("expected");
    // From the key table: code = (ID - 1) * 32 + key; variable 1 sends the
    // code (FF first above 127), variable n sends F8, 40 + n - 1, 01, code.
    for (int id = 1; id <= 4; ++id)
        for (int n = 1; n <= 8; ++n)
            for (int index = 1; index <= 32; ++index) {
                const char code = char((id - 1) * 32 + index);
                QByteArray bytes;
                if (n == 1)
                    bytes = quint8(code) > 127 ? QByteArray("\xFF") + code : QByteArray(1, code);
                else
                    bytes = QByteArray("\xF8") + char(0x40 + n - 1) + '\x01' + code;
                QTest::addRow("ID=%d #%d key %d", id, n, index) << id << n << index << bytes;
            }
}

void TestRemoconWindow::keyBytes()
{
    QFETCH(int, id);
    QFETCH(int, variable);
    QFETCH(int, index);
    QFETCH(QByteArray, expected);
    mWin->mRemID = id;
    mWin->mRemNum = variable;
    clickKey(index);
    waitIdle();
    QCOMPARE(mFake->written().toHex(' '), expected.toHex(' '));
}

void TestRemoconWindow::popupItems()
{
    openPopup();
    QStringList texts;
    for (QAction* a : mWin->popupMenu()->actions())
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(texts, (QStringList{"ID=1", "ID=2", "ID=3", "ID=4", "#1 variable", "#2 variable",
                                 "#3 variable", "#4 variable", "#5 variable", "#6 variable",
                                 "#7 variable", "#8 variable", "-", "Communicaion", "Simulation"}));
    QTest::keyClick(mWin->popupMenu(), Qt::Key_Escape);
    QTRY_VERIFY(!mWin->popupMenu());
}

void TestRemoconWindow::popupChoice_data()
{
    QTest::addColumn<QList<int>>("downs"); // Down presses per pop-up; -1: Escape
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("key1"); // what key 1 then sends

    QTest::newRow("ID=3") << QList<int>{3} << QStringLiteral("Communicaion\nID=3\n#1 variable")
                          << QByteArray::fromHex("41");
    QTest::newRow("ID=4") << QList<int>{4} << QStringLiteral("Communicaion\nID=4\n#1 variable")
                          << QByteArray::fromHex("61");
    QTest::newRow("#8 variable") << QList<int>{12}
                                 << QStringLiteral("Communicaion\nID=1\n#8 variable")
                                 << QByteArray::fromHex("F8470101");
    QTest::newRow("ID=2 then #3") << QList<int>{2, 7}
                                  << QStringLiteral("Communicaion\nID=2\n#3 variable")
                                  << QByteArray::fromHex("F8420121");
    QTest::newRow("dismissed") << QList<int>{-1}
                               << QStringLiteral("Communicaion\nID=1\n#1 variable")
                               << QByteArray::fromHex("01");
    QTest::newRow("ID=2 then dismissed")
        << QList<int>{2, -1} << QStringLiteral("Communicaion\nID=2\n#1 variable")
        << QByteArray::fromHex("21");
    QTest::newRow("Simulation") << QList<int>{14} << QStringLiteral("Simulation\nID=1\n#1 variable")
                                << QByteArray();
    QTest::newRow("Simulation, ID=4, back to Communicaion")
        << QList<int>{14, 4, 13} << QStringLiteral("Communicaion\nID=4\n#1 variable")
        << QByteArray::fromHex("61");
}

void TestRemoconWindow::popupChoice()
{
    QFETCH(QList<int>, downs);
    QFETCH(QString, text);
    QFETCH(QByteArray, key1);

    for (int n : downs) {
        openPopup();
        QMenu* menu = mWin->popupMenu();
        if (n < 0) {
            QTest::keyClick(menu, Qt::Key_Escape);
        } else {
            for (int i = 0; i < n; ++i)
                QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, Qt::Key_Return);
        }
        QTRY_VERIFY(!mWin->popupMenu());
    }
    QCOMPARE(mWin->SettingST->text(), text);

    const int opens = mFake->openCount();
    clickKey(1);
    if (key1.isEmpty()) {
        // Simulation: nothing reaches the link, so the port is not even opened.
        QCOMPARE(mFake->openCount(), opens);
        QVERIFY(mFake->written().isEmpty());
    } else {
        waitIdle();
        QCOMPARE(mFake->written().toHex(' '), key1.toHex(' '));
    }
}

void TestRemoconWindow::contextClickOnKeySendsItsCode()
{
    // Keys take any button: a right-click on key 7 sends 07 and opens no pop-up.
    clickKey(7, Qt::RightButton);
    waitIdle();
    QCOMPARE(mFake->written().toHex(), QByteArray("07"));
    QVERIFY(!mWin->popupMenu());
}

void TestRemoconWindow::clickWhileLinkClosedStillSends()
{
    QVERIFY(!gTw->mcpOpen());
    const int opens = mFake->openCount();
    clickKey(32);
    waitIdle();
    QCOMPARE(mFake->openCount(), opens + 1); // the link opened the port itself
    QCOMPARE(mFake->written().toHex(), QByteArray("20"));
}

void TestRemoconWindow::lampFollowsLink()
{
    QSignalSpy ticks(&mWin->Timer1, &QTimer::timeout);
    QVERIFY(ticks.wait(2000));
    QCOMPARE(mWin->ConnectOV->FillColor(), cRed);
    QVERIFY(gTw->RbPortOpen());
    QVERIFY(ticks.wait(2000));
    QCOMPARE(mWin->ConnectOV->FillColor(), cGreen);
    gTw->RbPortClose(true);
    QVERIFY(ticks.wait(2000));
    QCOMPARE(mWin->ConnectOV->FillColor(), cRed);
}

void TestRemoconWindow::portMenuCaptionFollowsLink()
{
    QMenu* port = MenuBar1::instance()->menu(QStringLiteral("PortMenu"));
    QVERIFY(port);
    QVERIFY(gTw->RbPortOpen());
    emit port->aboutToShow();
    QCOMPARE(mWin->PortConnect()->text(), QStringLiteral("切断"));
    QVERIFY(mWin->PortConnect()->isEnabled());
    QVERIFY(mWin->PortSetting()->isEnabled());
    gTw->RbPortClose(true);
    emit port->aboutToShow();
    QCOMPARE(mWin->PortConnect()->text(), QStringLiteral("接続"));
}

void TestRemoconWindow::portConnectPaths_data()
{
    QTest::addColumn<QString>("chosen"); // the remembered port; empty: none
    QTest::addColumn<bool>("openFails");
    QTest::addColumn<QStringList>("modals");
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("byMenu");

    const QString dialog = QStringLiteral("PortSettingWindow");
    const QString alert = QStringLiteral("QMessageBox");
    for (bool byMenu : {false, true}) {
        const char* how = byMenu ? "menu" : "lamp";
        QTest::addRow("%s: no port chosen", how)
            << QString() << false << QStringList{dialog} << false << byMenu;
        QTest::addRow("%s: chosen port missing", how)
            << QStringLiteral("GONE") << false << QStringList{alert, dialog} << false << byMenu;
        QTest::addRow("%s: chosen port will not open", how)
            << cPortName << true << QStringList{alert} << false << byMenu;
        QTest::addRow("%s: opens", how) << cPortName << false << QStringList{} << true << byMenu;
    }
}

void TestRemoconWindow::portConnectPaths()
{
    QFETCH(QString, chosen);
    QFETCH(bool, openFails);
    QFETCH(QStringList, modals);
    QFETCH(bool, open);
    QFETCH(bool, byMenu);

    if (chosen.isEmpty()) {
        gPref->mPortInfo.reset();
    } else {
        SerialPortInfo info;
        info.mName = chosen;
        gPref->mPortInfo = info;
    }
    if (openFails)
        mFake->setOpenFailure(SerialError::Busy);

    ModalWatcher watcher;
    if (byMenu) {
        QMenu* port = MenuBar1::instance()->menu(QStringLiteral("PortMenu"));
        emit port->aboutToShow();
        QVERIFY(mWin->PortConnect()->isEnabled());
        mWin->PortConnect()->trigger();
    } else {
        QTest::mouseClick(mWin->ConnectOV, Qt::LeftButton, {}, QPoint(12, 6));
    }
    // The menu's handler runs from the event loop, after the menu closed.
    QTRY_COMPARE(gTw->mcpOpen(), open);
    QTRY_COMPARE(watcher.seen, modals);
    QCOMPARE(mWin->ConnectOV->FillColor(), open ? cGreen : cRed);
    if (openFails) // a port that exists is kept
        QCOMPARE(gPref->mPortInfo ? gPref->mPortInfo->mName : QString(), cPortName);
}

void TestRemoconWindow::lampClickClosesEvenWithNotAutoDisconnect()
{
    gPref->mNotAutoDisconnect = true;
    QVERIFY(gTw->RbPortOpen());
    const int closes = mFake->closeCount();

    // A command leaves the link open with NotAutoDisconnect...
    clickKey(5);
    QTRY_VERIFY(gTw->link()->mMcpFinish);
    QCOMPARE(mFake->written().toHex(), QByteArray("05"));
    QVERIFY(gTw->mcpOpen());

    // ...but the lamp closes it, at once and red.
    QTest::mouseClick(mWin->ConnectOV, Qt::LeftButton, {}, QPoint(12, 6));
    QVERIFY(!gTw->mcpOpen());
    QCOMPARE(mFake->closeCount(), closes + 1);
    QCOMPARE(mWin->ConnectOV->FillColor(), cRed);

    // And so does the menu item.
    QVERIFY(gTw->RbPortOpen());
    emit MenuBar1::instance()->menu(QStringLiteral("PortMenu"))->aboutToShow();
    mWin->PortConnect()->trigger();
    QTRY_VERIFY(!gTw->mcpOpen());
}

void TestRemoconWindow::portSettingOpensDialog()
{
    {
        ModalWatcher watcher;
        QVERIFY(mWin->PortSetting_Action());
        QCOMPARE(watcher.seen, QStringList{QStringLiteral("PortSettingWindow")});
    }

    QTRY_VERIFY(!PortSettingWindow::current()); // the closed dialog is gone

    ModalWatcher viaMenu;
    emit MenuBar1::instance()->menu(QStringLiteral("PortMenu"))->aboutToShow();
    QVERIFY(mWin->PortSetting()->isEnabled());
    mWin->PortSetting()->trigger();
    QTRY_COMPARE(viaMenu.seen, QStringList{QStringLiteral("PortSettingWindow")});
}

void TestRemoconWindow::virtualControllerItem()
{
    QMenu* port = MenuBar1::instance()->menu(QStringLiteral("PortMenu"));
    const QList<QAction*> items = port->actions();
    QCOMPARE(items.size(), 4);
    QCOMPARE(items.at(0), mWin->PortConnect());
    QCOMPARE(items.at(2), mWin->PortSetting());
    QCOMPARE(items.at(3), mWin->PortVirtualController());
    QCOMPARE(items.at(3)->text(), QStringLiteral("仮想コントローラー..."));
    emit port->aboutToShow();
    QVERIFY(items.at(3)->isEnabled());

    items.at(3)->trigger();
    QTRY_VERIFY(mWin->virtualMonitor() && mWin->virtualMonitor()->isVisible());
    VirtualMonitor* monitor = mWin->virtualMonitor();
    items.at(3)->trigger(); // a second time: the same window
    QTRY_COMPARE(mWin->virtualMonitor(), monitor);
    monitor->close();
}

void TestRemoconWindow::monitorShowsClicksOnTheVirtualController()
{
    gPref->mPortInfo = SerialPortInfo(VirtualController::builtInPortEntry());
    VirtualController::model()->powerOn();
    ModalWatcher watcher; // no alert expected; one would fail the checks below
    QVERIFY(mWin->PortVirtualController_Action());
    VirtualMonitor* monitor = mWin->virtualMonitor();
    QVERIFY(monitor);

    // ID=2, "#3 variable", key 5: the controller's SRAM 0142 becomes 0x25.
    mWin->mRemID = 2;
    mWin->mRemNum = 3;
    clickKey(5);
    waitIdle();
    QCOMPARE(VirtualController::model()->sram(0x0142), quint8(0x25));
    QTRY_COMPARE(monitor->variableText(3), QStringLiteral("37 (0x25)"));

    // ID=4, "#1 variable", key 32: FF 80 reaches it as key 128.
    mWin->mRemID = 4;
    mWin->mRemNum = 1;
    clickKey(32);
    waitIdle();
    QTRY_COMPARE(monitor->keyText(), QStringLiteral("128 (0x80)  ID=4  key 32"));
    QCOMPARE(watcher.seen, QStringList());
    monitor->close();
}

void TestRemoconWindow::clearTimer()
{
    gRemValue.fill(3);
    gVarValue.fill(4);
    mWin->ClearTimer_Action();
    QCOMPARE(gRemValue, (std::array<qint32, 10>{}));
    QCOMPARE(gVarValue, (std::array<qint32, 10>{}));
    QVERIFY(!mWin->ClearTimer.isActive());
}

void TestRemoconWindow::closingQuits()
{
    // A guard so that a window which fails to quit cannot hang the suite.
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(7); });
    QTimer::singleShot(0, mWin, [this] { mWin->close(); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_MAIN(TestRemoconWindow)
#include "tst_remoconwindow.moc"
