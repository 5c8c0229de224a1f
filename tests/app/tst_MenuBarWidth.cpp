// Runs on a real X display (Xvfb): the offscreen platform has no real fonts
// metrics for the menu bar, so the fitting of the three titles at the remote
// window's width is checked where the program really runs.
#include "app/MenuBar1.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

namespace {
// The remote window's content width.
constexpr int cRemoteWidth = 133;
bool gHaveDisplay = true;
} // namespace

class TestMenuBarWidth : public QObject
{
    Q_OBJECT
private slots:
    void allTitlesFitAtRemoteWidth_data();
    void allTitlesFitAtRemoteWidth();
};

void TestMenuBarWidth::allTitlesFitAtRemoteWidth_data()
{
    QTest::addColumn<bool>("mainWindow");
    // The bar as a main window's menu bar, and placed by a plain window's layout.
    QTest::newRow("QMainWindow") << true;
    QTest::newRow("QWidget with layout") << false;
}

void TestMenuBarWidth::allTitlesFitAtRemoteWidth()
{
    if (!gHaveDisplay)
        QSKIP("no X display could be started for this test");
    QFETCH(bool, mainWindow);

    // A window shaped like the remote window: fixed content 133 pixels wide,
    // the menu bar above it.
    QScopedPointer<QWidget> window(mainWindow ? new QMainWindow : new QWidget);
    auto* content = new QWidget;
    content->setFixedSize(cRemoteWidth, 398);
    QMenuBar* bar = MenuBar1::instance()->createMenuBarFor(window.data());
    if (mainWindow) {
        static_cast<QMainWindow*>(window.data())->setCentralWidget(content);
    } else {
        auto* layout = new QVBoxLayout(window.data());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setMenuBar(bar);
        layout->addWidget(content);
    }
    window->setFixedWidth(cRemoteWidth);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.data()));
    QCOMPARE(bar->width(), cRemoteWidth);

    // Qt hides titles that do not fit behind this button.
    auto* extension = bar->findChild<QToolButton*>(QStringLiteral("qt_menubar_ext_button"));
    QVERIFY(extension);
    QVERIFY2(!extension->isVisible(), "the menu bar shows its overflow button");

    const QStringList titles{QStringLiteral("ファイル"), QStringLiteral("編集"),
                             QStringLiteral("ポート")};
    const QList<QAction*> actions = bar->actions();
    QCOMPARE(actions.size(), titles.size());
    int previousRight = -1;
    for (int i = 0; i < actions.size(); ++i) {
        QCOMPARE(actions.at(i)->text(), titles.at(i));
        const QRect r = bar->actionGeometry(actions.at(i));
        QVERIFY2(r.isValid() && bar->rect().contains(r),
                 qPrintable(QStringLiteral("%1 lies outside the bar").arg(titles.at(i))));
        // The whole title text fits in its item.
        QVERIFY(QFontMetrics(bar->font()).horizontalAdvance(titles.at(i)) <= r.width());
        QVERIFY(r.left() > previousRight);
        previousRight = r.right();
        // The title is reachable where it is drawn.
        QCOMPARE(bar->actionAt(r.center()), actions.at(i));
    }
}

int main(int argc, char* argv[])
{
    // Without a display there is nothing to measure: run on the offscreen
    // platform only to report the skip.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        gHaveDisplay = false;
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    TestMenuBarWidth test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MenuBarWidth.moc"
