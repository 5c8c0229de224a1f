// The controller window: controls, what it shows of the link, its dialogs.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMenuBar>
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

// Answerers still waiting, removed so none answers the next test's dialog.
QList<QPointer<QTimer>> gAnswerers;

// Records the next modal's {class, title}; presses its button `press`, if any.
void AnswerNextModal(QStringList* seen, const QString& press)
{
    auto* timer = new QTimer;
    gAnswerers.append(timer);
    QObject::connect(timer, &QTimer::timeout, [timer, seen, press] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!modal)
            return;
        timer->deleteLater();
        timer->stop();
        *seen = {modal->metaObject()->className(), modal->windowTitle()};
        for (QPushButton* b : modal->findChildren<QPushButton*>()) {
            if (!b->isHidden() && b->text() == press)
                return b->click();
        }
        modal->done(0);
    });
    timer->start(5);
}

// A modal window the window shows: the button pressed, what AnswerNextModal records, and
// what was written after.
struct Dialog
{
    const char* name;
    Action action;
    const char* press = "キャンセル";
    QStringList shown = {"PortSettingWindow", "通信方式の設定..."};
    const char* written = ""; // hex
    int beeps = 0;
};

} // namespace
Q_DECLARE_METATYPE(Dialog)

class TestTransSepaWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Services::setBeepHook([] {});
    }
    void init()
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
    void cleanup()
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

    void windowFrame()
    {
        // Until a command runs neither the bar nor the FoceClose button is shown.
        QVERIFY(!mWin->PrgPB->isVisibleTo(mWin) && !mWin->FoceClose->isVisibleTo(mWin));
        auto* bar = new QMenuBar; // a bar handed over later is installed
        mWin->attachMenuBar(bar);
        QCOMPARE(mWin->menuWidget(), bar);
        // Open, never mapped even when moved, shown and raised, and not keeping the program
        // running.
        mWin->move(-30000, mWin->y());
        QVERIFY(mWin->isVisible());
        QVERIFY(!mWin->testAttribute(Qt::WA_QuitOnClose));
        mWin->show();
        mWin->raise();
        Settle();
        for (QWindow* w : QGuiApplication::topLevelWindows())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
    }
    void showsTheLink()
    {
        // A stream's count may run past its maximum; the bar stays within.
        mWin->Cmd_Excute(H("41424344"), false);
        QCOMPARE(mWin->MsgST->text(), QStringLiteral("接続OK... 9600 baud"));
        QVERIFY(mWin->FoceClose->isVisibleTo(mWin) && mWin->PrgST->isVisibleTo(mWin));
        for (int i = 0; i < 3; ++i)
            mDev->feed(H("00"));
        QCOMPARE(mWin->PrgST->text(), QStringLiteral("3/2"));
        QCOMPARE(mWin->PrgPB->maximum(), 2);
        QCOMPARE(mWin->PrgPB->value(), 2);
        mWin->FoceClose->click();
        QVERIFY(!mWin->PrgPB->isVisibleTo(mWin) && !mWin->FoceClose->isVisibleTo(mWin));
        QCOMPARE(mWin->MsgST->text(), QStringLiteral("切断..."));
        // A click on the bar ends an exchange only with shift held.
        mWin->Cmd_Excute(H("414243"), true);
        for (const bool shift : {false, true}) {
            Services::setShiftKeyOverride(shift ? 1 : 0);
            QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5),
                              Qt::LeftButton, Qt::LeftButton,
                              shift ? Qt::ShiftModifier : Qt::NoModifier);
            QApplication::sendEvent(mWin->PrgPB, &press);
            QCOMPARE(mWin->mcpOpen(), !shift);
            QCOMPARE(mDev->isOpen(), !shift);
        }
    }
    void opensWhatItIsGiven()
    {
        // Start-up may make gPref anew after the window exists: the window follows it.
        PreferClass other(QStringLiteral("VantorController IR"), mDir.path());
        other.mNotAutoDisconnect = true;
        gPref = &other;
        // A port handed over by the settings dialog is opened without a search.
        FakeSerialDevice handed;
        const SerialPortEntry handedEntry = handed.entry(QStringLiteral("ttyUSB1"));
        other.mPortInfo = SerialPortInfo(handedEntry);
        SerialPorts::setOverride({});
        mWin->setSerialPort(handedEntry);
        QVERIFY(mWin->RbPortOpen());
        QCOMPARE(handed.openCount(), 1);
        mWin->RbPortClose(false); // kept open, as the new preferences say
        QVERIFY(mWin->mcpOpen());
        QCOMPARE(mWin->MsgST->text(), QStringLiteral("接続中..."));
        mWin->RbPortClose(true);
        Settle();
    }
    void dialogs_data()
    {
        QTest::addColumn<Dialog>("d");
        const Dialog rows[] = {
            {.name = "read-out 開始",
             .action = [](T* t) { t->mWin->link()->MyCmd_GET_PROGRAM_CODE(); },
             .press = "開始",
             .shown = {"QMessageBox", "プログラムの読込み"},
             .written = "F2",
             .beeps = 1},
            {.name = "read-out キャンセル: nothing sent",
             .action = [](T* t) { t->mWin->link()->MyCmd_GET_PROGRAM_CODE(); },
             .shown = {"QMessageBox", "プログラムの読込み"},
             .beeps = 1},
            {.name = "no port: OK",
             .action =
                 [](T* t) {
                     t->mPref->mPortInfo.reset();
                     t->mWin->Cmd_Excute(H("2A"), true);
                 },
             .press = "OK",
             .written = "2A"},
            {.name = "PortSetPB", .action = [](T* t) { t->mWin->PortSetPB->click(); }},
        };
        for (const Dialog& d : rows)
            QTest::newRow(d.name) << d;
    }
    void dialogs()
    {
        QFETCH(Dialog, d);
        QStringList seen;
        AnswerNextModal(&seen, d.press);
        d.action(this);
        QCOMPARE(seen, d.shown);
        QCOMPARE(mDev->written(), H(d.written));
        QCOMPARE(Services::beepCount(), d.beeps);
    }
    void closing_data()
    {
        QTest::addColumn<bool>("notAutoDisconnect");
        QTest::newRow("port kept: no forced close") << true;
        QTest::newRow("closing ends the link") << false;
    }
    void closing()
    {
        QFETCH(bool, notAutoDisconnect);
        mPref->mNotAutoDisconnect = notAutoDisconnect;
        QVERIFY(mWin->RbPortOpen());
        mWin->close();
        QCOMPARE(gTw, nullptr);
        QCOMPARE(mDev->isOpen(), notAutoDisconnect);
    }

private:
    QTemporaryDir mDir;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<FakeSerialDevice> mDev;
    SerialPortEntry mEntry;
    TransSepaWindow* mWin = nullptr;
};

QTEST_MAIN(TestTransSepaWindow)
#include "tst_TransSepaWindow.moc"
