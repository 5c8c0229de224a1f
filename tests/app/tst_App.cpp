// The program as a whole: the start-up order, quitting, the alerts it shows, and the
// splash / About window.
#include "FakeSerial.h"
#include "about/Window2.h"
#include "app/App.h"
#include "app/Module1.h"
#include "app/MsgDlg.h"
#include "link/TransSepaWindow.h"
#include "platform/Services.h"
#include "remote/RemoconWindow.h"
#include "settings/PreferClass.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {
QString prefFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/Tessaro Utilities/VantorController IR/VantorController IR.Pref";
}

// What an alert showed: title, text, explanation, icon, default button, whether it had a
// parent window and was on a screen, then the visible buttons ('&' removed).
struct Alert
{
    int result = -9;
    QStringList seen;
};

// Runs MsgDlg and answers its alert: a button caption or "<Escape>".
Alert runAlert(const QString& press, int icon, const QStringList& captions,
               const QStringList& texts = {"m", "", ""})
{
    Alert alert;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        const bool onScreen = QGuiApplication::screenAt(box->frameGeometry().center());
        alert.seen = {box->windowTitle(),
                      box->text(),
                      box->informativeText(),
                      QString::number(box->icon()),
                      box->defaultButton() ? box->defaultButton()->text().remove('&') : "<none>",
                      QString::number(box->parentWidget() != nullptr),
                      QString::number(onScreen)};
        QAbstractButton* pressed = nullptr;
        for (QAbstractButton* b : box->buttons())
            if (b->isVisible() && (alert.seen << b->text().remove('&')).last() == press)
                pressed = b;
        if (press == "<Escape>")
            QTest::keyClick(box, Qt::Key_Escape);
        else if (pressed)
            pressed->click();
        else
            box->done(-1);
    });
    poll.start(5);
    alert.result = MsgDlg(icon, captions.value(0), captions.value(1), captions.value(2), texts[0],
                          texts[1], texts[2]);
    return alert;
}

const QPoint cBackground(30, 80); // clear of every control
const QString cWeb = QStringLiteral(VANTOR_WEB_URL);
const QString cMail = QStringLiteral(VANTOR_MAIL_URL);

// Clicks on the window's controls and what they must open.
struct Clicks
{
    const char* name;
    bool welcome = true;
    QStringList clicks;
    QStringList opened = {};
    bool closeEarly = false; // closed by the program; else by a background click
};
} // namespace
Q_DECLARE_METATYPE(Clicks)

class TestApp : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        mOpened.clear();
        Services::setShowUrlHook([this](const QString& url) {
            mOpened.append(url);
            return true;
        });
    }

    void cleanup()
    {
        Services::setShowUrlHook({});
        while (QWidget* w = QApplication::activeModalWidget())
            w->close();
    }

    void initTestCase()
    {
        mFake = new FakeSerialDevice(this);
        mFake->setEcho();
        SerialPorts::setOverride({mFake->entry(QStringLiteral("FAKE1"))});
        // Started by hand as well as by CTest: never the user's own settings.
        QVERIFY(mConfig.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfig.path()));
        QVERIFY(prefFile().startsWith(mConfig.path()));
    }

    void firstStart()
    {
        QVERIFY(!QFile::exists(prefFile()));
        App app;
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
    }

    // Closing the remote window quits and ends an open link. The end-to-end test quits by the
    // Quit item's shortcut.
    void closingTheRemoteQuits()
    {
        App app;
        start(app);
        gPref->mNotAutoDisconnect = true; // an open link for quitting to end
        gPref->SetPortInfo(SerialPorts::at(0));
        gTw->setSerialPort(SerialPorts::at(0));
        QVERIFY(gTw->RbPortOpen());
        QTimer failSafe; // no hang
        failSafe.callOnTimeout([] { QCoreApplication::exit(7); });
        failSafe.start(10000);
        QTimer::singleShot(0, qApp, [&] { app.remoconWindow()->close(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(gTw, nullptr); // the controller window has closed and ended the link
        QVERIFY(!mFake->isOpen());
    }

    void failedSaveIsTold()
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

    void alertButtonsAndTexts()
    {
        // Escape answers as the cancel button does, the action button is the default, icon 2 is
        // a critical one, and the third text is the title. The console's tests press the action
        // and the cancel buttons of its questions.
        const Alert alert = runAlert("<Escape>", 2, {"開始", "キャンセル"}, {"m", "e", "T"});
        QCOMPARE(alert.result, 0);
        QCOMPARE(alert.seen.mid(0, 5), (QStringList{"T", "m", "e", "3", "開始"}));
        QCOMPARE(alert.seen.mid(7), (QStringList{"開始", "キャンセル"}));
    }

    void alertStaysOnScreen()
    {
        // An alert is centred on the active window, unless that one is off screen.
        for (const int left : {20, -30000}) {
            QWidget window;
            window.setGeometry(left, 20, 200, 150);
            window.show();
            QApplication::setActiveWindow(&window);
            QTRY_COMPARE(QApplication::activeWindow(), &window);
            QCOMPARE(runAlert("OK", 2, {"OK"}).seen.mid(5, 2),
                     (QStringList{left > 0 ? "1" : "0", "1"}));
        }
    }

    void clickRules_data()
    {
        QTest::addColumn<Clicks>("c");
        const Clicks rows[] = {
            {.name = "welcome: both links, then closed early",
             .clicks = {"StaticText2", "StaticText3"},
             .opened = {cWeb, cMail},
             .closeEarly = true},
            {.name = "about: controls ignored, the background closes",
             .welcome = false,
             .clicks = {"StaticText1", "StaticText4", "Canvas1"}},
        };
        for (const Clicks& c : rows)
            QTest::newRow(c.name) << c;
    }

    void clickRules()
    {
        QFETCH(Clicks, c);
        QList<bool> states; // welcome mode, timer running, still open after the clicks
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* w = qobject_cast<Window2*>(QApplication::activeModalWidget());
            if (!w)
                return;
            poll.stop();
            states << w->mWelcome << w->Timer1.isActive();
            for (const QString& name : c.clicks)
                QTest::mouseClick(w->findChild<QWidget*>(name), Qt::LeftButton);
            QCoreApplication::processEvents();
            states << (w->isVisible() && QApplication::activeModalWidget() == w);
            if (c.closeEarly)
                states << (w->close() && !w->isVisible());
            else
                QTest::mouseClick(w, Qt::LeftButton, {}, cBackground);
        });
        poll.start(5ms);
        bool forced = false;
        QTimer failSafe;
        failSafe.callOnTimeout(this, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                forced = true;
                modal->close();
            }
        });
        failSafe.start(15s);
        QPointer<Window2> w = Window2::instance();
        c.welcome ? w->Welcome() : Window2::ShowAbout();
        QVERIFY2(!forced, "the window did not close by itself");
        QCOMPARE(states,
                 (QList<bool>{c.welcome, c.welcome, true} + QList<bool>(c.closeEarly, true)));
        QCOMPARE(mOpened, c.opened);
        QTRY_VERIFY(w.isNull()); // deleted once closed: the next showing starts afresh
    }

    // With nothing on the system to open a link, its address is shown to copy.
    void unopenedLinkShowsItsAddress()
    {
        Services::setShowUrlHook([this](const QString& url) {
            mOpened.append(url);
            return false; // nothing on the system opens it
        });
        QPointer<Window2> w = Window2::instance();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTest::mouseClick(w->StaticText3, Qt::LeftButton, {}, w->StaticText3->rect().center());
        QCOMPARE(mOpened, QStringList{cMail});
        auto* box = w->findChild<QMessageBox*>(QStringLiteral("AddressBox"));
        QTRY_VERIFY(box && box->isVisible());
        QVERIFY(box->text().endsWith(cMail));                             // shown whole
        QVERIFY(box->textInteractionFlags() & Qt::TextSelectableByMouse); // and copyable
        box->accept();
        QVERIFY(w->isVisible()); // the About window stays
        w->close();
        QTRY_VERIFY(!w);
    }

private:
    // Runs the start-up; returns what was there while the splash was shown
    // (splash, preferences, controller window, remote window).
    QList<bool> start(App& app)
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

    FakeSerialDevice* mFake = nullptr;
    QTemporaryDir mConfig; // the preferences folder of this run, whoever starts it
    QStringList mOpened;   // links the system was asked to open
};

QTEST_MAIN(TestApp)
#include "tst_App.moc"
