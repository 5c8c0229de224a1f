#include "FakeSerial.h"
#include "about/Window2.h"
#include "app/App.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "remote/MyPicBtnClass.h"
#include "remote/RemoconWindow.h"
#include "settings/PreferClass.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

namespace {

QString prefFile()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("Tessaro Utilities/VantorController IR/VantorController IR.Pref"));
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What start-up looked like while the splash was up.
struct DuringSplash
{
    bool seen = false;
    bool welcome = false;
    bool prefNull = false;
    bool twNull = false;
    bool noRemocon = false;
};

} // namespace

class TestApp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void firstStart();
    void laterStartReadsWithoutWriting();
    void aboutFromTheRemoteWindow();
    void closingTheRemoteQuits();
    void quitItemQuits();

private:
    // Runs the start-up; returns what it saw while the splash was shown.
    DuringSplash start(App& app);
    FakeSerialDevice* mFake = nullptr;
};

void TestApp::initTestCase()
{
    mFake = new FakeSerialDevice(this);
    mFake->setEcho();
    SerialPorts::setOverride({mFake->entry(QStringLiteral("FAKE1"))});
    QFile::remove(prefFile());
}

DuringSplash TestApp::start(App& app)
{
    DuringSplash during;
    // Runs inside the splash's modal loop.
    QTimer::singleShot(0, qApp, [&during] {
        auto* splash = qobject_cast<Window2*>(QApplication::activeModalWidget());
        during.seen = true;
        during.welcome = splash && splash->mWelcome && splash->isVisible();
        during.prefNull = gPref == nullptr;
        during.twNull = gTw == nullptr;
        during.noRemocon = true;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<RemoconWindow*>(w))
                during.noRemocon = false;
    });
    app.Event_Open(); // returns after the splash closed by its timer
    return during;
}

void TestApp::firstStart()
{
    QVERIFY(!QFile::exists(prefFile()));
    App app;
    QSignalSpy started(&app, &App::started);
    const DuringSplash during = start(app);

    // The splash came first, before preferences, controller and remote.
    QVERIFY(during.seen);
    QVERIFY(during.welcome);
    QVERIFY(during.prefNull);
    QVERIFY(during.twNull);
    QVERIFY(during.noRemocon);

    // The first start wrote the defaults and read them back.
    QCOMPARE(readFile(prefFile()).split('\n'),
             (QByteArrayList{"ConnectType", "0", "NotAutoDisconnect", "False", "WirelessWriteSize",
                             "1", "RBTReqests", "-1", ""}));
    QVERIFY(gPref);
    QVERIFY(!gPref->mPortInfo);
    QCOMPARE(gPref->mConnectType, 0);
    QCOMPARE(gEOM, QByteArray("\r"));

    // The controller window is open, off screen, never shown to the user.
    QVERIFY(app.transSepaWindow());
    QCOMPARE(gTw, app.transSepaWindow());
    QCOMPARE(gTw->x(), -30000);
    QVERIFY(gTw->testAttribute(Qt::WA_DontShowOnScreen));

    // The remote window is the one shown.
    QVERIFY(app.remoconWindow());
    QVERIFY(app.remoconWindow()->isVisible());
    QCOMPARE(app.remoconWindow()->SettingST->text(),
             QStringLiteral("Communicaion\nID=1\n#1 variable"));
    QCOMPARE(started.count(), 1);
}

void TestApp::laterStartReadsWithoutWriting()
{
    const QByteArray saved = "SerialPort\nFAKE1\nin\nout\nConnectType\n2\nNotAutoDisconnect\nTrue\n"
                             "WirelessWriteSize\n5\nRBTReqests\n-1\n";
    {
        QFile f(prefFile());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(saved);
    }
    App app;
    start(app);
    QVERIFY(gPref->mPortInfo);
    QCOMPARE(gPref->mPortInfo->mName, QStringLiteral("FAKE1"));
    QCOMPARE(gPref->mConnectType, 2);
    QVERIFY(gPref->mNotAutoDisconnect);
    QCOMPARE(gPref->mWirelessWriteSize, 5);
    QCOMPARE(readFile(prefFile()), saved); // nothing written at start-up

    // The remembered port drives the keys: a click goes out on it.
    mFake->clearWritten();
    auto* key = app.remoconWindow()->IRRCnv[3];
    QTest::mouseClick(key, Qt::LeftButton, {}, key->rect().center());
    QTRY_COMPARE(mFake->written().toHex(), QByteArray("03"));
    gTw->RbPortClose(true);
}

void TestApp::aboutFromTheRemoteWindow()
{
    App app;
    start(app);
    // The About item is handled for the whole application, whichever window
    // shows the menu.
    bool aboutSeen = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto* about = qobject_cast<Window2*>(QApplication::activeModalWidget())) {
            aboutSeen = !about->mWelcome;
            about->close();
        }
    });
    poll.start(20);
    app.remoconWindow()->EditAboutVantor()->trigger();
    QTRY_VERIFY(aboutSeen);
}

void TestApp::closingTheRemoteQuits()
{
    App app;
    start(app);
    // Leave the link open so that quitting has something to end.
    gPref->mNotAutoDisconnect = true;
    QVERIFY(gTw->RbPortOpen());
    QVERIFY(mFake->isOpen());

    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(7); }); // no hang
    QTimer::singleShot(0, app.remoconWindow(), [&app] { app.remoconWindow()->close(); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(gTw, nullptr);    // the controller window has closed...
    QVERIFY(!mFake->isOpen()); // ...and ended the link
}

void TestApp::quitItemQuits()
{
    App app;
    start(app);
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(7); });
    QTimer::singleShot(0, qApp, [&app] { app.remoconWindow()->FileQuit()->trigger(); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(gTw, nullptr);
}

QTEST_MAIN(TestApp)
#include "tst_App.moc"
