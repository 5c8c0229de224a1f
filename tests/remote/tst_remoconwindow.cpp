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
#include <QApplication>
#include <QDialog>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace {

const QColor cRed(255, 0, 0);
const QColor cGreen(0, 255, 0);
const QString cPortName = QStringLiteral("FAKE1");

QString settingText(const char* type, int id, int n)
{
    return QStringLiteral("%1\nID=%2\n#%3 variable").arg(QLatin1String(type)).arg(id).arg(n);
}

} // namespace

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
        mWin->mRemType = 0;
        mWin->Event_Open(); // ID 1, variable 1
        mModals.clear();
    }
    void cleanupTestCase()
    {
        delete mWin;
        delete gTw;
        delete std::exchange(gPref, nullptr);
        SerialPorts::clearOverride();
    }

    void layout()
    {
        QCOMPARE(mWin->windowTitle(), QStringLiteral("Remocon"));
        QCOMPARE(mWin->content()->size(), QSize(133, 398));
        QVERIFY(!(mWin->windowFlags() & Qt::WindowMaximizeButtonHint) &&
                mWin->minimumSize() == mWin->maximumSize());
        for (int i = 0; i <= 32; ++i) {
            MyPicBtnClass* key = mWin->IRRCnv[i];
            QCOMPARE(key->geometry(), IRRCnvGeometry()[i]);
            QCOMPARE(key->toolTip(), QStringLiteral("#%1").arg(i));
            QVERIFY(key->Over && !key->Toggle && key->focusPolicy() == Qt::NoFocus);
            QCOMPARE(key->BtnPic, mWin->mPic); // all white: the keys seen are the backdrop's
            QCOMPARE(qAlpha(key->mUp.pixel(3, 3)), 0);
        }
        // Member 0 lies wholly outside the content: nothing can click it.
        QVERIFY(!mWin->content()->rect().intersects(mWin->IRRCnv[0]->geometry()));
        QCOMPARE(mWin->SettingST->geometry(), QRect(17, 326, 100, 48));
        QCOMPARE(mWin->SettingST->text(), settingText("Communicaion", 1, 1));
        QCOMPARE(mWin->SettingST->toolTip(),
                 QStringLiteral("Right-Click, change variable number..."));
        QCOMPARE(mWin->ConnectOV->geometry(), QRect(22, 22, 24, 12));
        QCOMPARE(mWin->ConnectOV->toolTip(), QStringLiteral("接続／切断..."));
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5)); // a finger over the lamp
        QApplication::sendEvent(mWin->ConnectOV, &enter);
        QCOMPARE(mWin->ConnectOV->cursor().shape(), Qt::PointingHandCursor);
    }

    void keyBytes_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("variable");
        QTest::addColumn<int>("index");
        for (int id = 1; id <= 4; ++id)
            for (int n = 1; n <= 8; ++n)
                for (int index = 1; index <= 32; ++index)
                    QTest::addRow("ID=%d #%d key %d", id, n, index) << id << n << index;
    }
    void keyBytes()
    {
        QFETCH(int, id);
        QFETCH(int, variable);
        QFETCH(int, index);
        mWin->mRemID = id;
        mWin->mRemNum = variable;
        // code = (ID - 1) * 32 + key; variable 1 sends the code (FF first above 127),
        // variable n sends F8, 40 + n - 1, 01, code.
        const char code = char((id - 1) * 32 + index);
        QByteArray expected = QByteArray("\xF8") + char(0x40 + variable - 1) + '\x01' + code;
        if (variable == 1)
            expected = quint8(code) > 127 ? QByteArray("\xFF") + code : QByteArray(1, code);
        // Keys take either button; a right-click on a key opens no pop-up.
        QCOMPARE(clickKey(index, index % 2 ? Qt::LeftButton : Qt::RightButton), 1);
        QCOMPARE(mFake->written().toHex(' '), expected.toHex(' '));
        QVERIFY(!mWin->popupMenu());
    }

    void popup_data()
    {
        QTest::addColumn<QList<int>>("downs"); // Down presses per pop-up; -1: Escape
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("key1"); // what key 1 then sends; empty: nothing
        auto row = [](const char* name, QList<int> downs, QString text, const char* hex) {
            QTest::newRow(name) << downs << text << QByteArray::fromHex(hex);
        };
        row("ID=3", {3}, settingText("Communicaion", 3, 1), "41");
        row("#8 variable", {12}, settingText("Communicaion", 1, 8), "F8470101");
        row("ID=2 then #3", {2, 7}, settingText("Communicaion", 2, 3), "F8420121");
        row("ID=2 then dismissed", {2, -1}, settingText("Communicaion", 2, 1), "21");
        row("Simulation", {14}, settingText("Simulation", 1, 1), "");
        row("Simulation, ID=4, Communicaion", {14, 4, 13}, settingText("Communicaion", 4, 1), "61");
    }
    void popup()
    {
        QFETCH(QList<int>, downs);
        QFETCH(QString, text);
        QFETCH(QByteArray, key1);
        for (int n : downs) {
            // A right-click on the settings text, which passes its clicks to the window.
            const QPoint pos = mWin->SettingST->mapTo(mWin, QPoint(50, 24));
            QTest::mouseClick(mWin->windowHandle(), Qt::RightButton, {}, pos);
            QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
            QStringList texts;
            for (QAction* a : mWin->popupMenu()->actions())
                texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
            QCOMPARE(texts.join('|'), "ID=1|ID=2|ID=3|ID=4|#1 variable|#2 variable|#3 variable|"
                                      "#4 variable|#5 variable|#6 variable|#7 variable|"
                                      "#8 variable|-|Communicaion|Simulation");
            for (int i = 0; i < n; ++i)
                QTest::keyClick(mWin->popupMenu(), Qt::Key_Down);
            QTest::keyClick(mWin->popupMenu(), n < 0 ? Qt::Key_Escape : Qt::Key_Return);
            QTRY_VERIFY(!mWin->popupMenu());
        }
        QCOMPARE(mWin->SettingST->text(), text);
        // In simulation nothing reaches the link: the port is not even opened.
        QCOMPARE(clickKey(1, Qt::LeftButton, !key1.isEmpty()), key1.isEmpty() ? 0 : 1);
        QCOMPARE(mFake->written().toHex(' '), key1.toHex(' '));
    }

    void lampAndMenuFollowLink()
    {
        const QList<QAction*> items = portMenuItems();
        QCOMPARE(items, (QList<QAction*>{mWin->PortConnect(), items.at(1), mWin->PortSetting(),
                                         mWin->PortVirtualController()}));
        QVERIFY(items.at(1)->isSeparator());
        QCOMPARE(items.at(3)->text(), QStringLiteral("仮想コントローラー..."));
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
        QTest::addColumn<QString>("how");    // lamp click or Port menu item
        QTest::addColumn<QString>("chosen"); // the remembered port; empty: none
        QTest::addColumn<bool>("openFails");
        QTest::addColumn<bool>("startOpen"); // with NotAutoDisconnect on
        QTest::addColumn<QStringList>("modals");
        const QString dialog = QStringLiteral("PortSettingWindow");
        const QString alert = QStringLiteral("QMessageBox");
        for (QString how : {"lamp", "connect"}) {
            auto row = [how](const char* name, QString chosen, bool fails, bool open,
                             QStringList modals) {
                QTest::addRow("%s: %s", qPrintable(how), name)
                    << how << chosen << fails << open << modals;
            };
            row("no port chosen", QString(), false, false, {dialog});
            row("chosen port missing", "GONE", false, false, {alert, dialog});
            row("chosen port will not open", cPortName, true, false, {alert});
            row("opens", cPortName, false, false, {});
            row("closes an open link", cPortName, false, true, {});
        }
        QTest::newRow("setting") << "setting" << cPortName << false << false << QStringList{dialog};
    }
    void portConnectPaths()
    {
        QFETCH(QString, how);
        QFETCH(QString, chosen);
        QFETCH(bool, openFails);
        QFETCH(bool, startOpen);
        QFETCH(QStringList, modals);
        const bool opens = how != "setting" && !openFails && !startOpen && modals.isEmpty();
        gPref->mPortInfo.reset();
        if (!chosen.isEmpty())
            gPref->mPortInfo.emplace().mName = chosen;
        if (openFails)
            mFake->setOpenFailure(SerialError::Busy);
        gPref->mNotAutoDisconnect = startOpen;
        if (startOpen)
            QVERIFY(gTw->RbPortOpen());
        const int closes = mFake->closeCount();
        if (how == "lamp") {
            QTest::mouseClick(mWin->ConnectOV, Qt::LeftButton, {}, QPoint(12, 6));
        } else {
            QAction* item = how == "connect" ? mWin->PortConnect() : mWin->PortSetting();
            QVERIFY(portMenuItems().contains(item) && item->isEnabled());
            item->trigger(); // its handler runs from the event loop, after the menu closed
        }
        QTRY_COMPARE(gTw->mcpOpen(), opens);
        QTRY_COMPARE(mModals, modals);
        QTRY_VERIFY(!PortSettingWindow::current()); // a closed dialog is gone
        QCOMPARE(mWin->ConnectOV->FillColor(), opens ? cGreen : cRed);
        QCOMPARE(mFake->closeCount(), closes + (startOpen ? 1 : 0));
        if (openFails) // a port that exists is kept
            QCOMPARE(gPref->mPortInfo ? gPref->mPortInfo->mName : QString(), cPortName);
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

    void closingQuits() // last: it ends the event loop
    {
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(7); }); // guard against a hang
        QTimer::singleShot(0, mWin, [this] { mWin->close(); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

QTEST_MAIN(TestRemoconWindow)
#include "tst_remoconwindow.moc"
