#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

// The program's one menu bar. The menus and their items are built once and
// shared: every window that carries a menu bar gets its own QMenuBar (Linux
// puts the bar inside each window) showing these same QMenus and QActions, so
// an item's caption or enabling changes everywhere at once. On macOS the
// application-wide bar is used and Qt moves FileQuit and EditAboutVantor into
// the application menu by their roles.
//
// Items are found by their names (QObject::objectName): "FileQuit",
// "EditUndo", ..., "PortConnect", "PortSetting"; separators are real separator
// actions named "UntitledMenu1", "UntitledMenu0", "UntitledSeparator" and
// "UntitledSeparator0".
//
// Who handles what:
//  - FileQuit quits the program (QuitRole).
//  - EditAboutVantor is handled here, for the whole application: it opens the
//    About window modally, not in welcome mode.
//  - PortConnect and PortSetting are handled by the remote window: it
//    connects their QAction::triggered signals to its own handlers.
//  - The Edit items have no handler: the program has no editable text, so
//    they stay disabled.
// Before any of the three menus shows, EnableMenuItems() is emitted after the
// Port items were reset to disabled; the window that owns the Port items
// enables them again and sets the PortConnect caption (EnablePortItems()).
class MenuBar1 : public QObject
{
    Q_OBJECT
public:
    static MenuBar1* instance();
    ~MenuBar1() override;

    // A menu by name ("FileMenu", "EditMenu", "PortMenu"), or null.
    QMenu* menu(const QString& name) const;
    // An item (separators included) by name, or null.
    QAction* item(const QString& name) const;
    // The three menus in the order they appear on the bar.
    QList<QMenu*> menus() const { return mMenus; }

    // Makes a menu bar for the window showing the shared menus. A QMainWindow
    // gets it as its menu bar; any other widget owns it and places it itself
    // (e.g. QLayout::setMenuBar). The bar is compact so that all three titles
    // fit on the remote window's 133-pixel width.
    QMenuBar* createMenuBarFor(QWidget* window);

    // The remote window's answer to EnableMenuItems: enables PortConnect,
    // captions it "切断" while the link is open and "接続" otherwise, and
    // enables PortSetting.
    void EnablePortItems(bool linkOpen);

    // The application's own handler of EditAboutVantor. Returns true: handled.
    bool EditAboutVantor_Action();

signals:
    // The menus are about to be used: windows enable their items now.
    void EnableMenuItems();

private:
    MenuBar1();
    QMenu* addMenu(const QString& name, const QString& caption);
    QAction* addItem(QMenu* menu, const QString& name, const QString& caption,
                     const QString& shortcut = {});
    QAction* addSeparator(QMenu* menu, const QString& name);
    void prepareMenus();

    QList<QMenu*> mMenus;
    QHash<QString, QAction*> mItems;
    QMenuBar* mGlobalBar = nullptr; // macOS only: the application's own bar
};
