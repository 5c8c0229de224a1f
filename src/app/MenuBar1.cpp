#include "MenuBar1.h"

#include "about/Window2.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace {
// Qt's default item padding makes "ファイル", "編集" and "ポート" wider than the
// remote window, which pushes "ポート" into the overflow button. Small padding
// and no spacing keep all three titles on the bar.
constexpr auto cCompactMenuBarStyle = "QMenuBar { padding: 0px; spacing: 0px; }"
                                      "QMenuBar::item { padding: 2px 3px; margin: 0px; }";

// The narrowest window that carries the bar: the remote's content width.
constexpr int cNarrowestBar = 133;
// Below this the titles would no longer be read comfortably.
constexpr qreal cSmallestPointSize = 6.5;

// At the common desktop font sizes of 10 points and up the three titles are
// wider than the remote window even with the compact style. Rather than let
// "ポート" slide into the overflow button, the bar's own font shrinks in half
// points until every title fits; smaller desktop fonts are left as they are.
void fitTitles(QMenuBar* bar)
{
    bar->ensurePolished();
    QFont font = bar->font();
    const bool points = font.pointSizeF() > 0;
    auto size = [&] { return points ? font.pointSizeF() : font.pixelSize() * 0.75; };
    while (bar->sizeHint().width() > cNarrowestBar && size() > cSmallestPointSize) {
        if (points)
            font.setPointSizeF(font.pointSizeF() - 0.5);
        else
            font.setPixelSize(font.pixelSize() - 1);
        bar->setFont(font);
    }
}

MenuBar1* gMenuBar1 = nullptr;
} // namespace

MenuBar1* MenuBar1::instance()
{
    if (!gMenuBar1)
        gMenuBar1 = new MenuBar1;
    return gMenuBar1;
}

MenuBar1::MenuBar1()
{
    // Built once, in this order; every item keeps the name the handlers use.
    QMenu* file = addMenu(QStringLiteral("FileMenu"), QStringLiteral("ファイル"));
    QAction* quit = addItem(file, QStringLiteral("FileQuit"), QStringLiteral("&Quit"),
                            QStringLiteral("Ctrl+Q"));
    quit->setMenuRole(QAction::QuitRole);
    // Quitting asks every window to close (their close handlers run), then
    // ends the event loop.
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    QMenu* edit = addMenu(QStringLiteral("EditMenu"), QStringLiteral("編集"));
    addItem(edit, QStringLiteral("EditUndo"), QStringLiteral("取り消し"), QStringLiteral("Ctrl+Z"));
    addSeparator(edit, QStringLiteral("UntitledMenu1"));
    addItem(edit, QStringLiteral("EditCut"), QStringLiteral("カット"), QStringLiteral("Ctrl+X"));
    addItem(edit, QStringLiteral("EditCopy"), QStringLiteral("コピー"), QStringLiteral("Ctrl+C"));
    addItem(edit, QStringLiteral("EditPaste"), QStringLiteral("ペースト"),
            QStringLiteral("Ctrl+V"));
    addItem(edit, QStringLiteral("EditClear"), QStringLiteral("消去"));
    addSeparator(edit, QStringLiteral("UntitledMenu0"));
    addItem(edit, QStringLiteral("EditSelectAll"), QStringLiteral("すべてを選択"),
            QStringLiteral("Ctrl+A"));
    addSeparator(edit, QStringLiteral("UntitledSeparator"));
    QAction* about = addItem(edit, QStringLiteral("EditAboutVantor"),
                             QStringLiteral("VantorController IRについて..."));
    about->setMenuRole(QAction::AboutRole);
    // Queued: the About window runs its own modal loop, which must not start
    // while the menu that triggered it is still closing.
    connect(
        about, &QAction::triggered, this, [this] { EditAboutVantor_Action(); },
        Qt::QueuedConnection);

    // The program has no editable text: the Edit items have nothing to act on.
    for (const char* name :
         {"EditUndo", "EditCut", "EditCopy", "EditPaste", "EditClear", "EditSelectAll"})
        item(QLatin1String(name))->setEnabled(false);

    QMenu* port = addMenu(QStringLiteral("PortMenu"), QStringLiteral("ポート"));
    addItem(port, QStringLiteral("PortConnect"), QStringLiteral("接続"));
    addSeparator(port, QStringLiteral("UntitledSeparator0"));
    addItem(port, QStringLiteral("PortSetting"), QStringLiteral("ポート設定..."));
    // Enabled only by the window that handles them, each time the menus show.
    item(QStringLiteral("PortConnect"))->setEnabled(false);
    item(QStringLiteral("PortSetting"))->setEnabled(false);

    for (QMenu* m : std::as_const(mMenus))
        connect(m, &QMenu::aboutToShow, this, &MenuBar1::prepareMenus);

#ifdef Q_OS_MACOS
    // The application-wide bar, shown while no window with its own bar is
    // active; Qt moves FileQuit and EditAboutVantor into the application menu.
    mGlobalBar = new QMenuBar(nullptr);
    for (QMenu* m : std::as_const(mMenus))
        mGlobalBar->addMenu(m);
#endif
}

MenuBar1::~MenuBar1()
{
    delete mGlobalBar;
    qDeleteAll(mMenus);
    if (gMenuBar1 == this)
        gMenuBar1 = nullptr;
}

QMenu* MenuBar1::addMenu(const QString& name, const QString& caption)
{
    // No parent: the menus outlive every window's bar that shows them.
    auto* m = new QMenu(caption);
    m->setObjectName(name);
    m->menuAction()->setObjectName(name);
    mMenus.append(m);
    return m;
}

QAction* MenuBar1::addItem(QMenu* menu, const QString& name, const QString& caption,
                           const QString& shortcut)
{
    QAction* a = menu->addAction(caption);
    a->setObjectName(name);
    // Only the quit and About items move to the macOS application menu; the
    // others stay where they are listed, whatever their captions say.
    a->setMenuRole(QAction::NoRole);
    if (!shortcut.isEmpty())
        a->setShortcut(QKeySequence(shortcut));
    mItems.insert(name, a);
    return a;
}

QAction* MenuBar1::addSeparator(QMenu* menu, const QString& name)
{
    QAction* a = menu->addSeparator();
    a->setObjectName(name);
    mItems.insert(name, a);
    return a;
}

QMenu* MenuBar1::menu(const QString& name) const
{
    for (QMenu* m : mMenus) {
        if (m->objectName() == name)
            return m;
    }
    return nullptr;
}

QAction* MenuBar1::item(const QString& name) const
{
    return mItems.value(name);
}

QMenuBar* MenuBar1::createMenuBarFor(QWidget* window)
{
    auto* bar = new QMenuBar(window);
    bar->setObjectName(QStringLiteral("MenuBar1"));
    bar->setStyleSheet(QLatin1String(cCompactMenuBarStyle));
    for (QMenu* m : std::as_const(mMenus))
        bar->addMenu(m);
    fitTitles(bar);
    if (auto* main = qobject_cast<QMainWindow*>(window))
        main->setMenuBar(bar);
    return bar;
}

void MenuBar1::prepareMenus()
{
    // As before every use of the menus: items nobody enables stay disabled.
    item(QStringLiteral("PortConnect"))->setEnabled(false);
    item(QStringLiteral("PortSetting"))->setEnabled(false);
    emit EnableMenuItems();
}

void MenuBar1::EnablePortItems(bool linkOpen)
{
    QAction* connectItem = item(QStringLiteral("PortConnect"));
    connectItem->setEnabled(true);
    connectItem->setText(linkOpen ? QStringLiteral("切断") : QStringLiteral("接続"));
    item(QStringLiteral("PortSetting"))->setEnabled(true);
}

bool MenuBar1::EditAboutVantor_Action()
{
    Window2::ShowAbout();
    return true;
}
