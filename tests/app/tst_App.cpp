#include "FakeSerial.h"
#include "about/Window2.h"
#include "app/App.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "remote/RemoconWindow.h"
#include "settings/PreferClass.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {
QString prefFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/Tessaro Utilities/VantorController IR/VantorController IR.Pref";
}
} // namespace

class TestApp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void firstStart();
    void quitting_data();
    void quitting();
    void failedSaveIsTold();

private:
    // Runs the start-up; returns what was there while the splash was shown
    // (splash, preferences, controller window, remote window).
    QList<bool> start(App& app);
    FakeSerialDevice* mFake = nullptr;
    QTemporaryDir mConfig; // the preferences folder of this run, whoever starts it
};

void TestApp::initTestCase()
{
    mFake = new FakeSerialDevice(this);
    mFake->setEcho();
    SerialPorts::setOverride({mFake->entry(QStringLiteral("FAKE1"))});
    // Started by hand as well as by CTest: never the user's own settings.
    QVERIFY(mConfig.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfig.path()));
    QVERIFY(prefFile().startsWith(mConfig.path()));
}

QList<bool> TestApp::start(App& app)
{
    QList<bool> during;
    QTimer::singleShot(0, qApp, [&during] { // inside the splash's modal loop
        auto* splash = qobject_cast<Window2*>(QApplication::activeModalWidget());
        bool remote = false;
        for (QWidget* w : QApplication::topLevelWidgets())
            remote |= qobject_cast<RemoconWindow*>(w) != nullptr;
        during = {splash && splash->mWelcome && splash->isVisible(), gPref != nullptr,
                  gTw != nullptr, remote};
    });
    app.Event_Open(); // returns after the splash closed by its timer
    return during;
}

void TestApp::firstStart()
{
    QVERIFY(!QFile::exists(prefFile()));
    App app;
    QSignalSpy started(&app, &App::started);
    // The splash comes first, before preferences, controller and remote window.
    QCOMPARE(start(app), (QList<bool>{true, false, false, false}));
    QVERIFY(QFile::exists(prefFile())); // with the defaults, as the preferences tests check
    QVERIFY(gPref && !gPref->mPortInfo);
    // The controller window is open off screen, never shown; the remote window is.
    QCOMPARE(gTw, app.transSepaWindow());
    QVERIFY(gTw->x() == -30000 && gTw->testAttribute(Qt::WA_DontShowOnScreen));
    QVERIFY(app.remoconWindow()->isVisible());
    QCOMPARE(app.remoconWindow()->SettingST->text(),
             QStringLiteral("Communicaion\nID=1\n#1 variable"));
    QCOMPARE(started.count(), 1);
}

void TestApp::quitting_data()
{
    QTest::addColumn<bool>("byMenu");
    QTest::newRow("closing the remote window") << false;
    QTest::newRow("Quit item") << true;
}

void TestApp::quitting()
{
    QFETCH(bool, byMenu);
    App app;
    start(app);
    gPref->mNotAutoDisconnect = true; // an open link for quitting to end
    gPref->SetPortInfo(SerialPorts::at(0));
    gTw->setSerialPort(SerialPorts::at(0));
    QVERIFY(gTw->RbPortOpen());
    QTimer failSafe; // no hang
    failSafe.callOnTimeout([] { QCoreApplication::exit(7); });
    failSafe.start(10000);
    QTimer::singleShot(0, qApp, [&] {
        byMenu ? app.remoconWindow()->FileQuit()->trigger() : void(app.remoconWindow()->close());
    });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(gTw, nullptr); // the controller window has closed and ended the link
    QVERIFY(!mFake->isOpen());
}

void TestApp::failedSaveIsTold()
{
    // Something that is not a file holds the preferences' place: no save can replace it.
    QFile::remove(prefFile());
    QVERIFY(QDir().mkpath(prefFile()));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not a regular file"));
    App::Init();
    QStringList seen; // every alert: message, explanation
    QTimer poll;
    poll.callOnTimeout([&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen << box->text() << box->informativeText();
            box->close();
        }
    });
    poll.start(10);
    gPref->mConnectType = 2;
    QVERIFY(!gPref->WriteData());
    QCOMPARE(seen.size(), 2); // one alert
    QCOMPARE(seen.at(0), QStringLiteral("設定を保存できませんでした..."));
    QVERIFY2(seen.at(1).startsWith(prefFile() + '\n'), qPrintable(seen.at(1)));
    QCOMPARE(gPref->mConnectType, 2); // in effect for this run
    QVERIFY(QFileInfo(prefFile()).isDir());
}

QTEST_MAIN(TestApp)
#include "tst_App.moc"
