// The remote window: clicks and keys typed, the bytes on the wire, the pop-up,
// the lamp and the menus, what a screen reader is told, and the virtual
// controller's monitor.
#include "FakeSerial.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "remote/IRRemModule.h"
#include "emulator/QmcModel.h"
#include "emulator/VirtualController.h"
#include "link/TransSepaWindow.h"
#include "remote/MyPicBtnClass.h"
#include "remote/RemoconWindow.h"
#include "remote/RoundRectangle.h"
#include "remote/VirtualMonitor.h"
#include "settings/PortSettingWindow.h"
#include "settings/PreferClass.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <algorithm>

namespace {

const QColor cRed(255, 0, 0);
const QColor cGreen(0, 255, 0);
const QString cPortName = QStringLiteral("FAKE1");

// A click at a point of the remote, or keys typed, with the ID and variable chosen before.
struct Press
{
    const char* name;
    int id = 1;
    int variable = 1;
    QPoint at = {}; // content pixels
    bool right = false;
    const char* keys = ""; // typed instead: space-separated key sequences
    const char* bytes;     // hex: what the controller receives
    QString focused = {};  // accessible name of the control focused by the keys; empty: none
};

// The pop-up opened from the keyboard (a right-click on the settings text opens it in the
// end-to-end test): choices (Down presses each time; -1: Escape), the setting then shown, and
// what key 1 then sends (hex).
struct Popup
{
    const char* name;
    const char* opener; // keys typed to open the pop-up
    QList<int> downs;
    int id = 1;
    int variable = 1;
    const char* key1;
};

// Connecting from the lamp or the Port menu, and the modal windows that must show up.
struct Connect
{
    const char* name;
    const char* item = "";        // the Port menu item chosen; empty: the lamp
    const char* keys = "";        // typed instead of a click on the lamp
    const char* chosen = "FAKE1"; // the remembered port; empty: none
    bool openFails = false;
    bool startOpen = false; // with NotAutoDisconnect on
    bool opens = false;
    QStringList modals = {};
};

} // namespace
Q_DECLARE_METATYPE(Press)
Q_DECLARE_METATYPE(Popup)
Q_DECLARE_METATYPE(Connect)

class TestRemoconWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;
    FakeSerialDevice* mFake = nullptr;
    RemoconWindow* mWin = nullptr;
    QTimer mAnswer;
    QStringList mModals; // classes of the modal windows answered since init, in order

    // The exchange started by a click ends, and the link closes the port.
    void waitIdle() { QTRY_VERIFY_WITH_TIMEOUT(gTw->link()->mMcpFinish && !gTw->mcpOpen(), 5000); }
    // Clicks a key; returns how many times the port was opened meanwhile.
    int clickKey(int index)
    {
        const int opens = mFake->openCount();
        MyPicBtnClass* key = mWin->IRRCnv[index];
        QTest::mouseClick(key, Qt::LeftButton, {}, key->rect().center());
        waitIdle();
        return mFake->openCount() - opens;
    }
    // Opening the Port menu sets its captions and enabling from the link.
    QList<QAction*> portMenuItems()
    {
        QMenu* menu = MenuBar1::instance()->menu(QStringLiteral("PortMenu"));
        emit menu->aboutToShow();
        return menu->actions();
    }
    void type(const QString& keys)
    {
        for (const QString& key : keys.split(' ')) {
            const QKeyCombination k = QKeySequence(key)[0];
            QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : mWin;
            QTest::keyClick(target, k.key(), k.keyboardModifiers());
        }
    }
    QString description(QWidget* w)
    {
        return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Description);
    }

private slots:
    void initTestCase()
    {
        mFake = new FakeSerialDevice(this);
        mFake->setEcho();
        VirtualController::setImitateLine(false);
        SerialPorts::setOverride(
            {mFake->entry(cPortName, "in", "out"), VirtualController::builtInPortEntry()});
        gPref = new PreferClass(QStringLiteral("VantorController IR"), mDir.path());
        new TransSepaWindow; // gTw
        mWin = new RemoconWindow;
        mWin->show();
        QVERIFY(QTest::qWaitForWindowExposed(mWin));
        // Every modal window is rejected as it shows up: the port dialog by its Cancel button.
        connect(&mAnswer, &QTimer::timeout, this, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                mModals << QString::fromLatin1(modal->metaObject()->className());
                if (auto* cancel = modal->findChild<QAbstractButton*>(QStringLiteral("CancelPB")))
                    cancel->click();
                else if (auto* dialog = qobject_cast<QDialog*>(modal))
                    dialog->reject();
            }
        });
        mAnswer.start(20);
    }
    void init()
    {
        if (gTw->mcpOpen())
            gTw->RbPortClose(true);
        mWin->Timer1_Action(); // the lamp shows the closed link
        gPref->mPortInfo = SerialPortInfo(SerialPorts::at(0));
        gPref->mNotAutoDisconnect = false;
        mFake->clearOpenFailure();
        mFake->clearWritten();
        mWin->PopupMenu_Choice(QStringLiteral("Communicaion"));
        mWin->Event_Open(); // ID 1, variable 1
        mModals.clear();
        mWin->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mWin));
        if (QWidget* focused = QApplication::focusWidget())
            focused->clearFocus();
    }
    void cleanupTestCase()
    {
        delete mWin;
        delete gTw;
        delete std::exchange(gPref, nullptr);
        SerialPorts::clearOverride();
    }

    void keySends_data()
    {
        QTest::addColumn<Press>("c");
        // Points are where the keys are drawn, in content pixels. Tab: the lamp, then keys
        // 25, 19, ...; Backtab wraps to the last key. The bytes of a key under each ID and
        // variable are pinned by the command line's tests: vantorctl key makes the same.
        const Press rows[] = {
            {.name = "ID=1 key 13, right button", .at = {96, 191}, .right = true, .bytes = "0D"},
            {.name = "ID=4 key 31: 127 alone", .id = 4, .at = {67, 283}, .bytes = "7F"},
            {.name = "between keys 1 and 2", .at = {50, 74}, .bytes = ""},
            {.name = "Tab Tab Space", .keys = "Tab Tab Space", .bytes = "19", .focused = "キー 25"},
            {.name = "ID=4 #8, Backtab twice, Space",
             .id = 4,
             .variable = 8,
             .keys = "Backtab Backtab Space",
             .bytes = "F8470180",
             .focused = "キー 32"},
        };
        for (const Press& c : rows)
            QTest::newRow(c.name) << c;
    }
    void keySends()
    {
        QFETCH(Press, c);
        mWin->PopupMenu_Choice(QStringLiteral("ID=%1").arg(c.id));
        mWin->PopupMenu_Choice(QStringLiteral("#%1 variable").arg(c.variable));
        const int opens = mFake->openCount();
        if (QString(c.keys).isEmpty()) {
            const QPoint at = mWin->content()->mapTo(mWin, c.at);
            const Qt::MouseButton button = c.right ? Qt::RightButton : Qt::LeftButton;
            QTest::mouseClick(mWin->windowHandle(), button, {}, at);
        } else {
            type(QLatin1String(c.keys));
            QWidget* focused = QApplication::focusWidget();
            QCOMPARE(focused ? focused->accessibleName() : QString(), c.focused);
        }
        const QByteArray bytes = QByteArray::fromHex(c.bytes);
        if (!bytes.isEmpty()) // a key writes its first byte at once, during the click
            waitIdle();
        QCOMPARE(mFake->written().toHex(' '), bytes.toHex(' '));
        QCOMPARE(mFake->openCount() - opens, bytes.isEmpty() ? 0 : 1);
        QVERIFY(!mWin->popupMenu()); // a right-click on a key opens no pop-up
    }

    // Each keyboard key presses the remote key it stands for: the digits 1 to 9 the keys 1 to 9, 0
    // key 10, the arrows the cross (keys 11 to 14).
    void keyboardShortcuts()
    {
        QByteArray expected;
        for (const char* key :
             {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "Up", "Down", "Right", "Left"}) {
            type(QLatin1String(key));
            waitIdle();
            expected += char(expected.size() + 1); // ID=1, #1 variable: the key's number
        }
        QCOMPARE(mFake->written().toHex(' '), expected.toHex(' '));
    }

    // After the lamp, Tab reaches every key once in reading order on the picture: row by row
    // from the top, left to right within a row (keys of one row have their centres within half
    // a key of each other).
    void tabReadsTheKeysRowByRow()
    {
        type(QStringLiteral("Tab"));
        QCOMPARE(QApplication::focusWidget(), mWin->tabChain().first()); // the lamp
        QList<int> order;
        for (int i = 1; i < cIRRCnvCount; ++i) {
            type(QStringLiteral("Tab"));
            const auto key = std::find(std::begin(mWin->IRRCnv), std::end(mWin->IRRCnv),
                                       QApplication::focusWidget());
            order << int(key - std::begin(mWin->IRRCnv));
        }
        QList<int> keys = order;
        std::sort(keys.begin(), keys.end());
        QCOMPARE(keys.first(), 1);
        QCOMPARE(keys.last(), cIRRCnvCount - 1);
        QCOMPARE(std::unique(keys.begin(), keys.end()), keys.end());
        // Member 0 lies outside the picture: no key, so a screen reader is given no name for it.
        QCOMPARE(mWin->IRRCnv[0]->accessibleName(), QString());
        const auto& rects = IRRCnvGeometry();
        for (qsizetype i = 1; i < order.size(); ++i) {
            const QRect a = rects[size_t(order[i - 1])];
            const QRect b = rects[size_t(order[i])];
            const bool sameRow = std::abs(a.center().y() - b.center().y()) * 2 <
                                 std::min(a.height(), b.height());
            QVERIFY2(sameRow ? b.center().x() > a.center().x() : b.center().y() > a.center().y(),
                     qPrintable(QStringLiteral("key %1 after key %2").arg(order[i]).arg(order[i - 1])));
        }
    }

    void popup_data()
    {
        QTest::addColumn<Popup>("p");
        const Popup rows[] = {
            {.name = "Shift+F10: ID=2 then dismissed",
             .opener = "Shift+F10",
             .downs = {2, -1},
             .id = 2,
             .key1 = "21"},
            {.name = "Menu key: Simulation, ID=4, Communicaion",
             .opener = "Menu",
             .downs = {14, 4, 13},
             .id = 4,
             .key1 = "61"},
        };
        for (const Popup& p : rows)
            QTest::newRow(p.name) << p;
    }
    void popup()
    {
        QFETCH(Popup, p);
        for (int n : p.downs) {
            mWin->activateWindow(); // the keys go to the window the pop-up left
            QVERIFY(QTest::qWaitForWindowActive(mWin));
            type(QLatin1String(p.opener));
            QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
            for (int i = 0; i < n; ++i)
                QTest::keyClick(mWin->popupMenu(), Qt::Key_Down);
            QTest::keyClick(mWin->popupMenu(), n < 0 ? Qt::Key_Escape : Qt::Key_Return);
            QTRY_VERIFY(!mWin->popupMenu());
        }
        QCOMPARE(mWin->SettingST->text(),
                 QStringLiteral("Communicaion\nID=%1\n#%2 variable").arg(p.id).arg(p.variable));
        QCOMPARE(clickKey(1), 1);
        QCOMPARE(mFake->written().toHex(' '), QByteArray::fromHex(p.key1).toHex(' '));
    }

    void lampAndMenuFollowLink()
    {
        QSignalSpy ticks(&mWin->Timer1, &QTimer::timeout);
        for (bool open : {true, false}) {
            if (open)
                QVERIFY(gTw->RbPortOpen());
            else
                gTw->RbPortClose(true);
            QVERIFY(ticks.wait(2000)); // the lamp follows within a tick
            QCOMPARE(mWin->ConnectOV->FillColor(), open ? cGreen : cRed);
            // A screen reader tells the state in words.
            QVERIFY(description(mWin->ConnectOV).startsWith(open ? "接続中" : "切断"));
            QVERIFY(std::ranges::all_of(portMenuItems(), &QAction::isEnabled));
            QCOMPARE(mWin->PortConnect()->text(), QString(open ? "切断" : "接続"));
        }
    }

    void portConnectPaths_data()
    {
        QTest::addColumn<Connect>("c");
        const QString dialog = QStringLiteral("PortSettingWindow");
        const QString alert = QStringLiteral("QMessageBox");
        const Connect rows[] = {
            {.name = "lamp: no port chosen", .chosen = "", .modals = {dialog}},
            {.name = "lamp: chosen port missing", .chosen = "GONE", .modals = {alert, dialog}},
            {.name = "lamp: port will not open", .openFails = true, .modals = {alert}},
            {.name = "lamp: opens", .opens = true},
            {.name = "Ctrl+L: opens", .keys = "Ctrl+L", .opens = true},
            {.name = "focused lamp, Space: closes an open link",
             .keys = "Tab Space",
             .startOpen = true},
            {.name = "menu: opens", .item = "PortConnect", .opens = true},
            {.name = "menu: port setting", .item = "PortSetting", .modals = {dialog}},
        };
        for (const Connect& c : rows)
            QTest::newRow(c.name) << c;
    }
    void portConnectPaths()
    {
        QFETCH(Connect, c);
        gPref->mPortInfo.reset();
        if (!QString(c.chosen).isEmpty())
            gPref->mPortInfo.emplace().mName = c.chosen;
        if (c.openFails)
            mFake->setOpenFailure(SerialError::Busy);
        gPref->mNotAutoDisconnect = c.startOpen;
        if (c.startOpen)
            QVERIFY(gTw->RbPortOpen());
        const int closes = mFake->closeCount();
        if (!QString(c.keys).isEmpty()) {
            type(QLatin1String(c.keys));
        } else if (QString(c.item).isEmpty()) {
            QTest::mouseClick(mWin->ConnectOV, Qt::LeftButton, {}, QPoint(12, 6));
        } else {
            QAction* item = MenuBar1::instance()->item(QLatin1String(c.item));
            QVERIFY(portMenuItems().contains(item) && item->isEnabled());
            item->trigger(); // its handler runs from the event loop, after the menu closed
        }
        QTRY_COMPARE(gTw->mcpOpen(), c.opens);
        QTRY_COMPARE(mModals, c.modals);
        QTRY_VERIFY(!PortSettingWindow::current()); // a closed dialog is gone
        QCOMPARE(mWin->ConnectOV->FillColor(), c.opens ? cGreen : cRed);
        QCOMPARE(mFake->closeCount(), closes + (c.startOpen ? 1 : 0));
    }

    void simulationOnlyShowsTheBytes()
    {
        mWin->PopupMenu_Choice(QStringLiteral("ID=2"));
        mWin->PopupMenu_Choice(QStringLiteral("#3 variable"));
        mWin->PopupMenu_Choice(QStringLiteral("Simulation"));
        // A screen reader is told what a key would send.
        QCOMPARE(description(mWin->IRRCnv[11]),
                 QStringLiteral("Simulation: F8 42 01 2B (未送信) — Up"));
        // An assistive tool's press sends nothing in simulation, only shows it.
        const int opens = mFake->openCount();
        QAccessible::queryAccessibleInterface(mWin->IRRCnv[16])
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(QToolTip::text(), QStringLiteral("Simulation: F8 42 01 30 (未送信)"));
        QCOMPARE(mFake->openCount(), opens);
        QToolTip::hideText();
    }

    // Every window shows the same menu items; About opens the About box.
    void menusAreShared()
    {
        QWidget second;
        QMenuBar* other = MenuBar1::instance()->createMenuBarFor(&second);
        QVERIFY(other != mWin->menuBar());
        QCOMPARE(other->actions(), mWin->menuBar()->actions());
        MenuBar1::instance()->item(QStringLiteral("EditAboutVantor"))->trigger();
        QTRY_COMPARE(mModals, QStringList{QStringLiteral("Window2")});
    }

    void monitorShowsClicksOnTheVirtualController()
    {
        gPref->mPortInfo = SerialPortInfo(VirtualController::builtInPortEntry());
        VirtualController::model()->powerOn();
        mWin->PortVirtualController()->trigger();
        QTRY_VERIFY(mWin->virtualMonitor() && mWin->virtualMonitor()->isVisible());
        // ID=2, "#3 variable", key 5: the controller's variable #3 (SRAM 0142) becomes 0x25.
        mWin->mRemID = 2;
        mWin->mRemNum = 3;
        clickKey(5);
        QTRY_COMPARE(mWin->virtualMonitor()->variableText(3), QStringLiteral("37 (0x25)"));
        QCOMPARE(mWin->virtualMonitor()->keyText(), QStringLiteral("37 (0x25)  ID=2  key 5"));
        QCOMPARE(mModals, QStringList()); // no alert
        mWin->virtualMonitor()->close();
    }
    void keySendsOnlyWhenReleasedOnIt_data()
    {
        // Key 5 is drawn 26 x 18: only 0 < x < 26 and 0 < y < 18 complete the click.
        QTest::addColumn<QPoint>("release");
        QTest::addColumn<bool>("sends");
        QTest::newRow("x=25,y=17") << QPoint(25, 17) << true;
        QTest::newRow("column 0") << QPoint(0, 9) << false;
        QTest::newRow("row 0") << QPoint(13, 0) << false;
        QTest::newRow("x=width") << QPoint(26, 9) << false;
        QTest::newRow("y=height") << QPoint(13, 18) << false;
    }
    void keySendsOnlyWhenReleasedOnIt()
    {
        QFETCH(QPoint, release);
        QFETCH(bool, sends);
        MyPicBtnClass* key = mWin->IRRCnv[5];
        // Real mouse events: the release goes to the pressed key wherever it happens.
        QTest::mousePress(key, Qt::LeftButton, {}, QPoint(5, 5));
        QTest::mouseRelease(key, Qt::LeftButton, {}, release);
        if (sends)
            waitIdle();
        QCOMPARE(mFake->written().toHex(), QByteArray(sends ? "05" : ""));
    }
};

QTEST_MAIN(TestRemoconWindow)
#include "tst_remoconwindow.moc"
