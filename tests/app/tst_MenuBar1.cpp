#include "about/Window2.h"
#include "app/MenuBar1.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QtTest>

namespace {
// Shows a menu the way the menu bar does (aboutToShow runs), then hides it.
void openAndClose(QMenu* menu)
{
    menu->popup(QPoint(0, 0));
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
}
} // namespace

class TestMenuBar1 : public QObject
{
    Q_OBJECT
private slots:
    void menuTree();
    void portItemsFollowTheLinkEachTimeAMenuShows();
    void aboutOpensTheAboutBox();
};

void TestMenuBar1::menuTree()
{
    MenuBar1* mb = MenuBar1::instance();
    QMainWindow window;
    QMenuBar* bar = mb->createMenuBarFor(&window);
    QCOMPARE(window.menuBar(), bar);
    QStringList titles;
    for (QAction* a : bar->actions())
        titles << a->menu()->objectName() + ':' + a->text();
    QCOMPARE(titles, (QStringList{"FileMenu:ファイル", "EditMenu:編集", "PortMenu:ポート"}));
    { // every window shows the same items (so the same shortcuts and captions)
        QWidget second;
        QMenuBar* other = mb->createMenuBarFor(&second);
        QVERIFY(other != bar && other->actions() == bar->actions());
    } // closing one window leaves the shared menus to the other
    QCOMPARE(bar->actions().size(), 3);

    // No window answers EnableMenuItems here: the Port items stay disabled, and the
    // Edit items have nothing to act on. Only Quit and About are left.
    mb->EnablePortItems(false);
    openAndClose(mb->menu("EditMenu"));
    QStringList enabled;
    for (QMenu* menu : mb->menus()) {
        for (QAction* a : menu->actions()) {
            QVERIFY(a == mb->item(a->objectName()));
            if (a->isEnabled() && !a->isSeparator())
                enabled << a->objectName() + ' ' + a->shortcut().toString();
        }
    }
    QCOMPARE(enabled, (QStringList{"FileQuit Ctrl+Q", "EditAboutVantor "}));
    QCOMPARE(mb->item("FileQuit")->menuRole(), QAction::QuitRole);
    QCOMPARE(mb->item("EditAboutVantor")->menuRole(), QAction::AboutRole);
}

void TestMenuBar1::portItemsFollowTheLinkEachTimeAMenuShows()
{
    MenuBar1* mb = MenuBar1::instance();
    // The remote window's EnableMenuItems handler, asking the link's state each time.
    bool linkOpen = false;
    int calls = 0;
    QMetaObject::Connection handler = connect(mb, &MenuBar1::EnableMenuItems, this,
                                              [&] { ++calls, mb->EnablePortItems(linkOpen); });
    // Starting from the disabled items; the last state is seen through another menu.
    const QList<bool> linkStates = {false, true, false, true};
    for (int i = 0; i < linkStates.size(); ++i) {
        linkOpen = linkStates[i];
        openAndClose(mb->menu(i + 1 < linkStates.size() ? "PortMenu" : "FileMenu"));
        QCOMPARE(calls, i + 1);
        QCOMPARE(mb->item("PortConnect")->text(), linkOpen ? QString("切断") : QString("接続"));
        QVERIFY(mb->item("PortConnect")->isEnabled() && mb->item("PortSetting")->isEnabled());
    }
    disconnect(handler);
}

void TestMenuBar1::aboutOpensTheAboutBox()
{
    bool welcome = true;
    QString title;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto* about = qobject_cast<Window2*>(QApplication::activeModalWidget())) {
            welcome = about->mWelcome;
            title = about->windowTitle();
            about->close();
        }
    });
    poll.start(10);
    MenuBar1::instance()->item("EditAboutVantor")->trigger();
    // Queued: the About box opens once the menu has finished.
    QTRY_COMPARE(title, QStringLiteral("VantorController IR"));
    QVERIFY(!welcome);
    QTRY_VERIFY(!QApplication::activeModalWidget());
}

QTEST_MAIN(TestMenuBar1)
#include "tst_MenuBar1.moc"
