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
#include <tuple>

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

} // namespace

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
        QStringList order;
        for (QObject* child : mWin->centralWidget()->children()) {
            if (child->isWidgetType())
                order.append(child->objectName());
        }
        QCOMPARE(order, (QStringList{"PrgPB", "MsgST", "PrgST", "FoceClose", "PortSetPB"}));
        // Name, geometry, shown, caption; the message line and count text start empty.
        const std::tuple<const char*, QRect, bool, const char*> controls[] = {
            {"PrgPB", {201, 11, 130, 20}, false, ""},
            {"MsgST", {148, 36, 167, 20}, true, ""},
            {"PrgST", {118, 13, 62, 20}, true, ""},
            {"FoceClose", {349, 10, 123, 20}, false, "強制切断..."},
            {"PortSetPB", {10, 10, 120, 20}, true, "シリアル設定..."}};
        for (const auto& [name, geometry, visible, text] : controls) {
            auto* w = mWin->findChild<QWidget*>(name);
            QVERIFY2(w, name);
            QCOMPARE(w->geometry(), geometry);
            QCOMPARE(w->parentWidget(), mWin->centralWidget());
            QCOMPARE(w->isVisibleTo(mWin), visible);
            QCOMPARE(w->font().pointSize(), 10);
            if (auto* label = qobject_cast<QLabel*>(w))
                QCOMPARE(label->text(), QString::fromUtf8(text));
            if (auto* button = qobject_cast<QPushButton*>(w))
                QCOMPARE(button->text(), QString::fromUtf8(text));
        }
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
    void neverOnScreen()
    {
        // Open at Left -30000, never mapped, and not keeping the program running.
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
    void showsTheLink()
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
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("press");
        QTest::addColumn<QStringList>("shown"); // the start of what AnswerNextModal records
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<bool>("portKept");
        QTest::addColumn<int>("beeps");
        const Action readOut = [](T* t) { t->mWin->link()->MyCmd_GET_PROGRAM_CODE(); };
        const QStringList readOutShown{
            "QMessageBox",
            "プログラムの読込み",
            "コントローラーに転送されているプログラムをコンピュータに読込みます。",
            "読込みには、少々時間がかかります。宜しいですか？",
            "開始",
            "キャンセル"};
        const Action noPort = [](T* t) {
            t->mPref->mPortInfo.reset(), t->mWin->Cmd_Excute(H("2A"), true);
        };
        const QStringList dialog{"PortSettingWindow"};
        const Action refused = [](T* t) {
            t->mDev->setOpenFailure(SerialError::Busy), t->mWin->RbPortOpen();
        };
        const QStringList refusedShown{
            "QMessageBox", "", "コントローラーに接続できませんでした...",
            "電源がオンになっているか確認して下さい...\nポートは他のプログラムが使用中です。",
            "OK"};
        QTest::newRow("port refused")
            << refused << "OK" << refusedShown << QByteArray() << true << 1;
        QTest::newRow("read-out 開始") << readOut << "開始" << readOutShown << H("F2") << true << 1;
        QTest::newRow("read-out キャンセル")
            << readOut << "キャンセル" << readOutShown << QByteArray() << true << 1;
        QTest::newRow("no port: OK") << noPort << "OK" << dialog << H("2A") << true << 0;
        QTest::newRow("no port: cancel")
            << noPort << "キャンセル" << dialog << QByteArray() << false << 0;
        QTest::newRow("PortSetPB: cancel forgets")
            << Action([](T* t) { t->mWin->PortSetPB->click(); }) << "キャンセル" << dialog
            << QByteArray() << false << 0;
    }
    void dialogs()
    {
        QFETCH(Action, action);
        QFETCH(QString, press);
        QFETCH(QStringList, shown);
        QFETCH(QByteArray, written);
        QFETCH(bool, portKept);
        QFETCH(int, beeps);
        QStringList seen;
        AnswerNextModal(&seen, press);
        action(this);
        QCOMPARE(seen.mid(0, shown.size()), shown);
        QCOMPARE(mDev->written(), written);
        QCOMPARE(mPref->mPortInfo.has_value(), portKept);
        QCOMPARE(Services::beepCount(), beeps);
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
        other.mNotAutoDisconnect = false;
        mWin->RbPortClose(false);
        QVERIFY(!mWin->mcpOpen());
    }
    void closing()
    {
        mPref->mNotAutoDisconnect = true; // closing ends the link its ordinary way, clears gTw
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

private:
    QTemporaryDir mDir;
    std::unique_ptr<PreferClass> mPref;
    std::unique_ptr<FakeSerialDevice> mDev;
    SerialPortEntry mEntry;
    TransSepaWindow* mWin = nullptr;
};

QTEST_MAIN(TestTransSepaWindow)
#include "tst_TransSepaWindow.moc"
