// The controller window: controls, what it shows of the link, its dialogs.
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

// Answerers still waiting, removed so none answers the next test's dialog.
QList<QPointer<QTimer>> gAnswerers;

// Records the next modal {class, title, text, informative, buttons...}; presses `press`.
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
        auto* box = qobject_cast<QMessageBox*>(modal);
        *seen = {modal->metaObject()->className(), modal->windowTitle(),
                 box ? box->text() : QString(), box ? box->informativeText() : QString()};
        QAbstractButton* target = nullptr;
        for (QPushButton* b : modal->findChildren<QPushButton*>()) {
            if (!b->isHidden())
                seen->append(b->text());
            if (!b->isHidden() && b->text() == press)
                target = b;
        }
        target ? target->click() : modal->done(0);
    });
    timer->start(5);
}

// A modal window the window shows: the button pressed, the start of what AnswerNextModal
// records, and what was written after.
struct Dialog
{
    const char* name;
    Action action;
    const char* press = "キャンセル";
    QStringList shown = {"PortSettingWindow"};
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
        QCOMPARE(gTw, mWin);
        QVERIFY(!mWin->mcpOpen());
        QCOMPARE(mWin->windowTitle(), QStringLiteral("コントローラー"));
        QCOMPARE(mWin->FoceClose->text(), QStringLiteral("強制切断..."));
        QCOMPARE(mWin->PortSetPB->text(), QStringLiteral("シリアル設定..."));
        // Until a command runs only the port button and the two empty texts are shown.
        QVERIFY(!mWin->PrgPB->isVisibleTo(mWin) && !mWin->FoceClose->isVisibleTo(mWin));
        QVERIFY(mWin->MsgST->text().isEmpty() && mWin->PrgST->text().isEmpty());
        QCOMPARE(mWin->menuWidget()->objectName(), QStringLiteral("MenuBar1"));
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
    }
    void handedOverPort()
    {
        FakeSerialDevice other; // handed over by the settings dialog: opened without a search
        const SerialPortEntry otherEntry = other.entry(QStringLiteral("ttyUSB1"));
        mPref->mPortInfo = SerialPortInfo(otherEntry);
        SerialPorts::setOverride({});
        mWin->setSerialPort(otherEntry);
        QVERIFY(mWin->RbPortOpen());
        QCOMPARE(other.openCount(), 1);
        mWin->RbPortClose(true);
        Settle();
    }
    void dialogs_data()
    {
        QTest::addColumn<Dialog>("d");
        const QStringList readOutShown{
            "QMessageBox",
            "プログラムの読込み",
            "コントローラーに転送されているプログラムをコンピュータに読込みます。",
            "読込みには、少々時間がかかります。宜しいですか？",
            "開始",
            "キャンセル"};
        const Dialog rows[] = {
            {.name = "read-out 開始",
             .action = [](T* t) { t->mWin->link()->MyCmd_GET_PROGRAM_CODE(); },
             .press = "開始",
             .shown = readOutShown,
             .written = "F2",
             .beeps = 1},
            {.name = "no port: OK",
             .action =
                 [](T* t) { t->mPref->mPortInfo.reset(), t->mWin->Cmd_Excute(H("2A"), true); },
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
        QCOMPARE(seen.mid(0, d.shown.size()), d.shown);
        QCOMPARE(mDev->written(), H(d.written));
        QCOMPARE(Services::beepCount(), d.beeps);
    }
    void shiftClickOnProgress_data()
    {
        QTest::addColumn<bool>("shift");
        QTest::newRow("shift held ends the exchange") << true;
        QTest::newRow("plain click does nothing") << false;
    }
    void shiftClickOnProgress()
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
    void followsTheProgramsPreferences()
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
