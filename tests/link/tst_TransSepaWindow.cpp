// The controller window: never on screen, it holds the link and asks for a port when none is
// chosen. Nothing it shows is ever seen, so its texts and bar are not checked.
#include "LinkTestSupport.h"

#include "FakeSerial.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <memory>

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
        mWin = new TransSepaWindow;
    }
    void cleanup()
    {
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
    }

    void neverMapped()
    {
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
    void noPortAsksForOne_data()
    {
        QTest::addColumn<QString>("press");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("OK: the key goes out") << "OK" << H("2A");
        QTest::newRow("キャンセル: nothing sent") << "キャンセル" << QByteArray();
    }
    void noPortAsksForOne()
    {
        QFETCH(QString, press);
        QFETCH(QByteArray, written);
        mPref->mPortInfo.reset();
        QStringList seen; // the dialog's class and title
        QTimer answer;
        answer.callOnTimeout([&] {
            auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!modal)
                return;
            answer.stop();
            seen = {modal->metaObject()->className(), modal->windowTitle()};
            for (QPushButton* b : modal->findChildren<QPushButton*>()) {
                if (b->isVisible() && b->text() == press)
                    return b->click();
            }
            modal->done(0);
        });
        answer.start(5);
        mWin->Cmd_Excute(H("2A"), true);
        QCOMPARE(seen, (QStringList{"PortSettingWindow", "通信方式の設定..."}));
        QCOMPARE(mDev->written(), written);
        QCOMPARE(Services::beepCount(), 0);
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
