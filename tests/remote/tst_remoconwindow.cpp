// The remote window: clicks and keys typed, the bytes on the wire, the pop-up,
// the lamp and Port menu, and what a screen reader is told.
#include "FakeSerial.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
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

QString settingText(const char* type, int id, int n)
{
    return QStringLiteral("%1\nID=%2\n#%3 variable").arg(QLatin1String(type)).arg(id).arg(n);
}

// A click at a point of the remote, with the ID and variable chosen before.
struct Click
{
    const char* name;
    int id = 1;
    int variable = 1;
    QPoint at; // content pixels
    bool right = false;
    const char* bytes; // hex: what the controller receives
};

// Pop-up choices (Down presses each time; -1: Escape), the setting then shown, and what
// key 1 then sends (hex; empty: nothing).
struct Popup
{
    const char* name;
    QList<int> downs;
    bool simulation = false;
    int id = 1;
    int variable = 1;
    const char* key1;
};

// Connecting from the lamp or the Port menu, and the modal windows that must show up.
struct Connect
{
    const char* name;
    const char* item = "";        // the Port menu item chosen; empty: the lamp
    const char* chosen = "FAKE1"; // the remembered port; empty: none
    bool openFails = false;
    bool startOpen = false; // with NotAutoDisconnect on
    bool opens = false;
    QStringList modals = {};
};

// Keys typed with the ID and variable chosen before.
struct Typed
{
    int id = 1;
    int num = 1;          // the variable
    const char* keys;     // typed in order, space-separated key sequences
    const char* wire;     // what the controller receives, hex
    QString focused = {}; // accessible name of the focused control after; empty: none
};

} // namespace
Q_DECLARE_METATYPE(Click)
Q_DECLARE_METATYPE(Popup)
Q_DECLARE_METATYPE(Connect)
Q_DECLARE_METATYPE(Typed)

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
    int clickKey(int index, Qt::MouseButton button = Qt::LeftButton, bool sends = true)
    {
        const int opens = mFake->openCount();
        MyPicBtnClass* key = mWin->IRRCnv[index];
        QTest::mouseClick(key, button, {}, key->rect().center());
        if (sends)
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
        auto* tw = new TransSepaWindow;
        QCOMPARE(gTw, tw);
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

    void clickSendsKeyBytes_data()
    {
        QTest::addColumn<Click>("c");
        // Points are where the keys are drawn, in content pixels.
        const Click rows[] = {
            {.name = "ID=1 key 5", .at = {67, 98}, .bytes = "05"},
            {.name = "ID=1 key 13, right button", .at = {96, 191}, .right = true, .bytes = "0D"},
            {.name = "ID=3 #2 key 1", .id = 3, .variable = 2, .at = {34, 74}, .bytes = "F8410141"},
            {.name = "ID=4 key 31: 127 alone", .id = 4, .at = {67, 283}, .bytes = "7F"},
            {.name = "ID=4 key 32: escaped", .id = 4, .at = {67, 305}, .bytes = "FF80"},
            {.name = "ID=4 #8 key 32",
             .id = 4,
             .variable = 8,
             .at = {67, 305},
             .bytes = "F8470180"},
            {.name = "between keys 1 and 2", .at = {50, 74}, .bytes = ""},
        };
        for (const Click& c : rows)
            QTest::newRow(c.name) << c;
    }
    void clickSendsKeyBytes()
    {
        QFETCH(Click, c);
        mWin->mRemID = c.id;
        mWin->mRemNum = c.variable;
        const QPoint at = mWin->content()->mapTo(mWin, c.at);
        const int opens = mFake->openCount();
        QTest::mouseClick(mWin->windowHandle(), c.right ? Qt::RightButton : Qt::LeftButton, {}, at);
        const QByteArray bytes = QByteArray::fromHex(c.bytes);
        if (!bytes.isEmpty()) // a key writes its first byte at once, during the click
            waitIdle();
        QCOMPARE(mFake->written().toHex(' '), bytes.toHex(' '));
        QCOMPARE(mFake->openCount() - opens, bytes.isEmpty() ? 0 : 1);
        QVERIFY(!mWin->popupMenu()); // a right-click on a key opens no pop-up
    }

    void popup_data()
    {
        QTest::addColumn<Popup>("p");
        const Popup rows[] = {
            {.name = "ID=2 then #3", .downs = {2, 7}, .id = 2, .variable = 3, .key1 = "F8420121"},
            {.name = "ID=2 then dismissed", .downs = {2, -1}, .id = 2, .key1 = "21"},
            {.name = "Simulation, ID=4, Communicaion", .downs = {14, 4, 13}, .id = 4, .key1 = "61"},
        };
        for (const Popup& p : rows)
            QTest::newRow(p.name) << p;
    }
    void popup()
    {
        QFETCH(Popup, p);
        for (int n : p.downs) {
            // A right-click on the settings text, which passes its clicks to the window.
            const QPoint pos = mWin->SettingST->mapTo(mWin, QPoint(50, 24));
            QTest::mouseClick(mWin->windowHandle(), Qt::RightButton, {}, pos);
            QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
            for (int i = 0; i < n; ++i)
                QTest::keyClick(mWin->popupMenu(), Qt::Key_Down);
            QTest::keyClick(mWin->popupMenu(), n < 0 ? Qt::Key_Escape : Qt::Key_Return);
            QTRY_VERIFY(!mWin->popupMenu());
        }
        QCOMPARE(mWin->SettingST->text(),
                 settingText(p.simulation ? "Simulation" : "Communicaion", p.id, p.variable));
        // In simulation nothing reaches the link: the port is not even opened.
        const QByteArray key1 = QByteArray::fromHex(p.key1);
        QCOMPARE(clickKey(1, Qt::LeftButton, !key1.isEmpty()), key1.isEmpty() ? 0 : 1);
        QCOMPARE(mFake->written().toHex(' '), key1.toHex(' '));
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
            {.name = "lamp: closes an open link", .startOpen = true},
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
        if (QString(c.item).isEmpty()) {
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
        if (c.openFails) // a port that exists is kept
            QCOMPARE(gPref->mPortInfo ? gPref->mPortInfo->mName : QString(), cPortName);
    }

    void keysSendWhatAClickSends_data()
    {
        QTest::addColumn<Typed>("t");
        // Tab: the lamp, then 25, 19, 16, 1, ...; Backtab wraps to the last key.
        const Typed rows[] = {
            {.id = 2, .keys = "0", .wire = "2a"}, // key 10
            {.num = 3, .keys = "Left", .wire = "f842010e"},
            {.keys = "Tab Tab Space", .wire = "19", .focused = "キー 25"},
            {.keys = "Tab Tab Tab Tab Tab Return", .wire = "01", .focused = "キー 1"},
            {.id = 4,
             .num = 8,
             .keys = "Backtab Backtab Space",
             .wire = "f8470180",
             .focused = "キー 32"},
        };
        for (const Typed& t : rows)
            QTest::addRow("%s, ID=%d #%d", t.keys, t.id, t.num) << t;
    }
    void keysSendWhatAClickSends()
    {
        QFETCH(Typed, t);
        mWin->PopupMenu_Choice(QStringLiteral("ID=%1").arg(t.id));
        mWin->PopupMenu_Choice(QStringLiteral("#%1 variable").arg(t.num));
        type(QLatin1String(t.keys));
        waitIdle();
        QCOMPARE(mFake->written().toHex(), QByteArray(t.wire));
        QWidget* focused = QApplication::focusWidget();
        QCOMPARE(focused ? focused->accessibleName() : QString(), t.focused);
    }

    void focusIsMarkedAndAnnounced()
    {
        type("Tab Tab");
        MyPicBtnClass* key = mWin->IRRCnv[25];
        QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(key);
        QVERIFY(acc->role() == QAccessible::Button && acc->state().focused);
        const QRgb mark = key->palette().color(QPalette::Highlight).rgb();
        QCOMPARE(key->grab().toImage().pixel(1, key->height() / 2), mark);
        type("Tab");
        QCOMPARE_NE(key->grab().toImage().pixel(1, key->height() / 2), mark);
        // Descriptions follow the pop-up's choices.
        QCOMPARE(description(key), QStringLiteral("19 を送信"));
        mWin->PopupMenu_Choice(QStringLiteral("ID=2"));
        mWin->PopupMenu_Choice(QStringLiteral("#3 variable"));
        mWin->PopupMenu_Choice(QStringLiteral("Simulation"));
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

    void lampTellsItsStateInWords()
    {
        QCOMPARE(mWin->ConnectOV->accessibleName(), QStringLiteral("接続ランプ"));
        QVERIFY(description(mWin->ConnectOV).startsWith(QStringLiteral("切断")));
        QTest::keyClick(mWin, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(gTw->mcpOpen() && mWin->ConnectOV->FillColor() == cGreen);
        QVERIFY(description(mWin->ConnectOV).startsWith(QStringLiteral("接続中")));
        type("Tab Space"); // the focused lamp closes it again
        QVERIFY(!gTw->mcpOpen());
        QVERIFY(description(mWin->ConnectOV).startsWith(QStringLiteral("切断")));
    }

    void popupFromTheKeyboard()
    {
        for (const char* keys : {"Menu", "Shift+F10"}) {
            type(QLatin1String(keys));
            QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
            for (int i = 0; i < 3; ++i)
                QTest::keyClick(mWin->popupMenu(), Qt::Key_Down);
            QTest::keyClick(mWin->popupMenu(), Qt::Key_Return);
            QTRY_COMPARE(mWin->SettingST->text(), settingText("Communicaion", 3, 1));
            mWin->Event_Open();
        }
    }

    void settingTextTooltipIsReadable()
    {
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), mWin->SettingST->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(mWin->SettingST, &help);
        QTRY_VERIFY(QToolTip::isVisible());
        QWidget* tip = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("qtooltip_label"))
                tip = w;
        QVERIFY(tip);
        const QColor ink = tip->palette().color(tip->foregroundRole());
        const QColor paper = tip->palette().color(tip->backgroundRole());
        QVERIFY2(qAbs(ink.lightness() - paper.lightness()) > 100,
                 qPrintable(ink.name() + " on " + paper.name()));
        QToolTip::hideText();
    }

    void monitorShowsClicksOnTheVirtualController()
    {
        gPref->mPortInfo = SerialPortInfo(VirtualController::builtInPortEntry());
        VirtualController::model()->powerOn();
        // Chosen twice: one monitor window, shown.
        mWin->PortVirtualController()->trigger();
        mWin->PortVirtualController()->trigger();
        QTRY_VERIFY(mWin->virtualMonitor() && mWin->virtualMonitor()->isVisible());
        QCoreApplication::processEvents();
        QCOMPARE(std::ranges::count_if(QApplication::topLevelWidgets(),
                                       [](QWidget* w) { return qobject_cast<VirtualMonitor*>(w); }),
                 1);
        // ID=2, "#3 variable", key 5: the controller's variable #3 (SRAM 0142) becomes 0x25.
        mWin->mRemID = 2;
        mWin->mRemNum = 3;
        clickKey(5);
        QTRY_COMPARE(mWin->virtualMonitor()->variableText(3), QStringLiteral("37 (0x25)"));
        QCOMPARE(mModals, QStringList()); // no alert
        mWin->virtualMonitor()->close();
    }
};

QTEST_MAIN(TestRemoconWindow)
#include "tst_remoconwindow.moc"
