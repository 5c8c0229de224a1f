#include "FakeSerial.h"
#include "about/Window2.h"
#include "app/MenuBar1.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "settings/PreferClass.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace std::chrono_literals;

namespace {
QString menuOf(QAction* item)
{
    for (QMenu* m : MenuBar1::instance()->menus()) {
        if (m->actions().contains(item))
            return m->objectName();
    }
    return {};
}

// Shows a menu the way the menu bar does (aboutToShow runs), then hides it.
void openAndClose(QMenu* menu)
{
    menu->popup(QPoint(0, 0));
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
}

// Runs `drive` on the modal window once it shows; closes any leftover modal
// after a while so a failing check cannot hang the run.
void whenModalShows(std::function<void(QWidget*)> drive)
{
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, drive] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            drive(modal);
        }
    });
    poll->start(10ms);
    QTimer::singleShot(10s, qApp, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
}
} // namespace

class TestMenuBar1 : public QObject
{
    Q_OBJECT
private slots:
    void menusInOrder();
    void items_data();
    void items();
    void separatorsHaveNoShortcut();
    void specialRoles();
    void handledItemsEnabledEditItemsDisabled();
    void portItemsFollowTheLinkEachTimeTheMenuShows_data();
    void portItemsFollowTheLinkEachTimeTheMenuShows();
    void portItemsStayDisabledWithoutAHandler();
    void everyWindowShowsTheSameItems();
    void portItemsReachTheRemoteHandlers();
    void shortcutsWorkInEachWindow();
    void aboutOpensTheAboutBoxFromAnyWindow();
    void quitClosesTheWindowsAndEndsTheLoop();
};

void TestMenuBar1::menusInOrder()
{
    QMainWindow window;
    QMenuBar* bar = MenuBar1::instance()->createMenuBarFor(&window);
    QCOMPARE(window.menuBar(), bar);
    const QList<QAction*> titles = bar->actions();
    QCOMPARE(titles.size(), 3);
    const QStringList names{"FileMenu", "EditMenu", "PortMenu"};
    const QStringList captions{"ファイル", "編集", "ポート"};
    for (int i = 0; i < 3; ++i) {
        QVERIFY(titles.at(i)->menu());
        QCOMPARE(titles.at(i)->menu()->objectName(), names.at(i));
        QCOMPARE(titles.at(i)->text(), captions.at(i));
        QCOMPARE(MenuBar1::instance()->menu(names.at(i)), titles.at(i)->menu());
    }
}

void TestMenuBar1::items_data()
{
    QTest::addColumn<QString>("menu");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("caption"); // "-": a separator
    QTest::addColumn<QKeySequence>("shortcut");

    const QKeySequence none;
    QTest::newRow("FileQuit") << "FileMenu" << 0 << "&Quit" << QKeySequence("Ctrl+Q");
    QTest::newRow("EditUndo") << "EditMenu" << 0 << "取り消し" << QKeySequence("Ctrl+Z");
    QTest::newRow("UntitledMenu1") << "EditMenu" << 1 << "-" << none;
    QTest::newRow("EditCut") << "EditMenu" << 2 << "カット" << QKeySequence("Ctrl+X");
    QTest::newRow("EditCopy") << "EditMenu" << 3 << "コピー" << QKeySequence("Ctrl+C");
    QTest::newRow("EditPaste") << "EditMenu" << 4 << "ペースト" << QKeySequence("Ctrl+V");
    QTest::newRow("EditClear") << "EditMenu" << 5 << "消去" << none;
    QTest::newRow("UntitledMenu0") << "EditMenu" << 6 << "-" << none;
    QTest::newRow("EditSelectAll") << "EditMenu" << 7 << "すべてを選択" << QKeySequence("Ctrl+A");
    QTest::newRow("UntitledSeparator") << "EditMenu" << 8 << "-" << none;
    QTest::newRow("EditAboutVantor") << "EditMenu" << 9 << "VantorController IRについて..." << none;
    QTest::newRow("PortConnect") << "PortMenu" << 0 << "接続" << none;
    QTest::newRow("UntitledSeparator0") << "PortMenu" << 1 << "-" << none;
    QTest::newRow("PortSetting") << "PortMenu" << 2 << "ポート設定..." << none;
}

void TestMenuBar1::items()
{
    QFETCH(QString, menu);
    QFETCH(int, position);
    QFETCH(QString, caption);
    QFETCH(QKeySequence, shortcut);
    const QString name = QString::fromLatin1(QTest::currentDataTag());

    QAction* item = MenuBar1::instance()->item(name);
    QVERIFY(item);
    QCOMPARE(item->objectName(), name);
    QCOMPARE(menuOf(item), menu);
    QCOMPARE(MenuBar1::instance()->menu(menu)->actions().indexOf(item), position);
    QCOMPARE(item->isSeparator(), caption == "-");
    if (!item->isSeparator())
        QCOMPARE(item->text(), caption);
    QCOMPARE(item->shortcut(), shortcut);
}

void TestMenuBar1::separatorsHaveNoShortcut()
{
    // Every menu holds exactly the listed items: nothing extra slipped in.
    QCOMPARE(MenuBar1::instance()->menu("FileMenu")->actions().size(), 1);
    QCOMPARE(MenuBar1::instance()->menu("EditMenu")->actions().size(), 10);
    QCOMPARE(MenuBar1::instance()->menu("PortMenu")->actions().size(), 3);
    for (QMenu* m : MenuBar1::instance()->menus()) {
        for (QAction* a : m->actions()) {
            if (a->isSeparator())
                QVERIFY2(a->shortcut().isEmpty(), qPrintable(a->objectName()));
        }
    }
}

void TestMenuBar1::specialRoles()
{
    // Qt moves these into the application menu on macOS.
    QCOMPARE(MenuBar1::instance()->item("FileQuit")->menuRole(), QAction::QuitRole);
    QCOMPARE(MenuBar1::instance()->item("EditAboutVantor")->menuRole(), QAction::AboutRole);
    // The others stay where they are listed.
    for (const char* name : {"EditUndo", "EditCopy", "EditSelectAll", "PortConnect", "PortSetting"})
        QCOMPARE(MenuBar1::instance()->item(name)->menuRole(), QAction::NoRole);
}

void TestMenuBar1::handledItemsEnabledEditItemsDisabled()
{
    MenuBar1* mb = MenuBar1::instance();
    openAndClose(mb->menu("EditMenu"));
    QVERIFY(mb->item("FileQuit")->isEnabled());
    QVERIFY(mb->item("EditAboutVantor")->isEnabled());
    for (const char* name :
         {"EditUndo", "EditCut", "EditCopy", "EditPaste", "EditClear", "EditSelectAll"})
        QVERIFY2(!mb->item(name)->isEnabled(), name);
    for (QMenu* m : mb->menus())
        QVERIFY(m->menuAction()->isEnabled());
}

void TestMenuBar1::portItemsFollowTheLinkEachTimeTheMenuShows_data()
{
    QTest::addColumn<QList<bool>>("linkStates");
    QTest::newRow("closed") << QList<bool>{false};
    QTest::newRow("open") << QList<bool>{true};
    QTest::newRow("open, then closed") << QList<bool>{true, false};
    QTest::newRow("closed, open, closed") << QList<bool>{false, true, false};
}

void TestMenuBar1::portItemsFollowTheLinkEachTimeTheMenuShows()
{
    QFETCH(QList<bool>, linkStates);
    MenuBar1* mb = MenuBar1::instance();

    // A real controller window over a fake port, as gTw.
    QTemporaryDir base;
    QVERIFY(base.isValid());
    PreferClass pref(QStringLiteral("VantorController IR"), base.path());
    pref.mNotAutoDisconnect = true;
    FakeSerialDevice device;
    SerialPorts::setOverride({device.entry(QStringLiteral("ttyUSB0"))});
    pref.SetPortInfo(SerialPorts::at(0));
    auto controller = std::make_unique<TransSepaWindow>(&pref);
    QCOMPARE(gTw, controller.get());

    // The remote window's EnableMenuItems handler.
    int calls = 0;
    QMetaObject::Connection handler = connect(mb, &MenuBar1::EnableMenuItems, this, [&] {
        ++calls;
        mb->EnablePortItems(gTw && gTw->mcpOpen());
    });

    for (bool open : linkStates) {
        if (open)
            QVERIFY(gTw->RbPortOpen());
        else
            gTw->RbPortClose(true);
        QCOMPARE(device.isOpen(), open);
        const int before = calls;
        openAndClose(mb->menu("PortMenu"));
        QCOMPARE(calls, before + 1);
        QCOMPARE(mb->item("PortConnect")->text(),
                 open ? QStringLiteral("切断") : QStringLiteral("接続"));
        QVERIFY(mb->item("PortConnect")->isEnabled());
        QVERIFY(mb->item("PortSetting")->isEnabled());
    }
    // Opening another menu asks again: the caption is fresh wherever the user looks.
    const bool open = !linkStates.last();
    if (open)
        QVERIFY(gTw->RbPortOpen());
    else
        gTw->RbPortClose(true);
    openAndClose(mb->menu("FileMenu"));
    QCOMPARE(mb->item("PortConnect")->text(),
             open ? QStringLiteral("切断") : QStringLiteral("接続"));

    disconnect(handler);
    gTw->RbPortClose(true);
    controller.reset();
    SerialPorts::clearOverride();
}

void TestMenuBar1::portItemsStayDisabledWithoutAHandler()
{
    MenuBar1* mb = MenuBar1::instance();
    mb->EnablePortItems(false);
    QVERIFY(mb->item("PortConnect")->isEnabled());
    // No window answers EnableMenuItems (as the controller window does not).
    openAndClose(mb->menu("PortMenu"));
    QVERIFY(!mb->item("PortConnect")->isEnabled());
    QVERIFY(!mb->item("PortSetting")->isEnabled());
}

void TestMenuBar1::everyWindowShowsTheSameItems()
{
    QMainWindow first;
    QWidget second;
    QMenuBar* a = MenuBar1::instance()->createMenuBarFor(&first);
    QMenuBar* b = MenuBar1::instance()->createMenuBarFor(&second);
    QVERIFY(a != b);
    QCOMPARE(b->parentWidget(), &second);
    QCOMPARE(a->actions(), b->actions());
    // A caption changed once shows in both windows' menus.
    MenuBar1::instance()->EnablePortItems(true);
    QCOMPARE(b->actions().at(2)->menu()->actions().at(0)->text(), QStringLiteral("切断"));
    MenuBar1::instance()->EnablePortItems(false);
    QCOMPARE(a->actions().at(2)->menu()->actions().at(0)->text(), QStringLiteral("接続"));
    // Closing one window leaves the shared menus to the other.
    delete a;
    QCOMPARE(b->actions().size(), 3);
    QVERIFY(MenuBar1::instance()->menu("PortMenu"));
}

void TestMenuBar1::portItemsReachTheRemoteHandlers()
{
    // The remote window binds its handlers to the items' triggered signals.
    MenuBar1* mb = MenuBar1::instance();
    QSignalSpy connectSpy(mb->item("PortConnect"), &QAction::triggered);
    QSignalSpy settingSpy(mb->item("PortSetting"), &QAction::triggered);
    mb->EnablePortItems(false);
    mb->item("PortSetting")->trigger();
    QCOMPARE(settingSpy.count(), 1);
    QCOMPARE(connectSpy.count(), 0);
    mb->item("PortConnect")->trigger();
    QCOMPARE(connectSpy.count(), 1);
    // A disabled item cannot be triggered.
    mb->item("PortConnect")->setEnabled(false);
    mb->item("PortConnect")->trigger();
    QCOMPARE(connectSpy.count(), 1);
}

void TestMenuBar1::shortcutsWorkInEachWindow()
{
    QMainWindow first;
    QWidget second;
    MenuBar1::instance()->createMenuBarFor(&first);
    MenuBar1::instance()->createMenuBarFor(&second);
    QSignalSpy quit(MenuBar1::instance()->item("FileQuit"), &QAction::triggered);
    QSignalSpy undo(MenuBar1::instance()->item("EditUndo"), &QAction::triggered);
    int expected = 0;
    for (QWidget* window : {static_cast<QWidget*>(&first), &second}) {
        window->resize(200, 100);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        // Ctrl+Q reaches FileQuit (quitting is a no-op outside the event loop).
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), ++expected);
        // The disabled Edit items do not react to theirs.
        QTest::keyClick(window, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(undo.count(), 0);
        window->hide();
    }
}

void TestMenuBar1::aboutOpensTheAboutBoxFromAnyWindow()
{
    // No window handles the item: it reaches the application's handler.
    QMainWindow window;
    MenuBar1::instance()->createMenuBarFor(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    bool shown = false;
    bool welcome = true;
    bool timerActive = true;
    QString title;
    whenModalShows([&](QWidget* modal) {
        auto* about = qobject_cast<Window2*>(modal);
        if (!about)
            return;
        shown = true;
        welcome = about->mWelcome;
        timerActive = about->Timer1.isActive();
        title = about->windowTitle();
        about->close();
    });
    QPointer<QWidget> before = QApplication::activeModalWidget();
    MenuBar1::instance()->item("EditAboutVantor")->trigger();
    // Queued: the About box opens once the menu has finished.
    QTRY_VERIFY(shown);
    QVERIFY(!welcome);
    QVERIFY(!timerActive);
    QCOMPARE(title, QStringLiteral("VantorController IR"));
    QTRY_VERIFY(QApplication::activeModalWidget() == before);
}

void TestMenuBar1::quitClosesTheWindowsAndEndsTheLoop()
{
    QMainWindow window;
    MenuBar1::instance()->createMenuBarFor(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);

    QTimer::singleShot(0, qApp, [] { MenuBar1::instance()->item("FileQuit")->trigger(); });
    // If quitting failed, end the loop with a distinct code.
    QTimer failSafe;
    failSafe.setSingleShot(true);
    connect(&failSafe, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    failSafe.start(10s);
    const int code = QApplication::exec();
    QCOMPARE(code, 0);
    QCOMPARE(aboutToQuit.count(), 1);
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(TestMenuBar1)
#include "tst_MenuBar1.moc"
