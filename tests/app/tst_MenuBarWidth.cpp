// Runs on a real X display (Xvfb): only real font metrics show whether the
// three menu titles fit at the remote window's width.
#include "app/MenuBar1.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QToolButton>
#include <QtTest>

namespace {
constexpr int cRemoteWidth = 133; // the remote window's content width
// The desktop's font size at which the titles once overflowed into Qt's extension button.
constexpr qreal cDesktopPointSize = 11;
bool gHaveDisplay = true;
} // namespace

class TestMenuBarWidth : public QObject
{
    Q_OBJECT
private slots:
    void allTitlesFitAtRemoteWidth()
    {
        if (!gHaveDisplay)
            QSKIP("no X display could be started for this test");
        QFont desktopFont = QApplication::font();
        desktopFont.setPointSizeF(cDesktopPointSize);
        QApplication::setFont(desktopFont);
        QMainWindow window;
        auto* content = new QWidget;
        content->setFixedSize(cRemoteWidth, 398);
        QMenuBar* bar = MenuBar1::instance()->createMenuBarFor(&window);
        window.setCentralWidget(content);
        window.setFixedWidth(cRemoteWidth);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(bar->width(), cRemoteWidth);
        // Qt hides titles that do not fit behind this button.
        auto* extension = bar->findChild<QToolButton*>(QStringLiteral("qt_menubar_ext_button"));
        QVERIFY2(extension && !extension->isVisible(), "the menu bar shows its overflow button");
        // Still readable: never below 6.5 pt, and never larger than the desktop's.
        QVERIFY2(bar->font().pointSizeF() >= 6.5,
                 qPrintable(QString::number(bar->font().pointSizeF())));
        QVERIFY(bar->font().pointSizeF() <= cDesktopPointSize);

        QStringList reachable;
        for (QAction* title : bar->actions()) {
            const QRect r = bar->actionGeometry(title);
            QVERIFY2(bar->rect().contains(r), qPrintable(title->text()));
            QVERIFY(QFontMetrics(bar->font()).horizontalAdvance(title->text()) <= r.width());
            if (bar->actionAt(r.center()) == title) // reachable where it is drawn
                reachable << title->text();
        }
        QCOMPARE(reachable, (QStringList{"ファイル", "編集", "ポート"}));
    }
};

int main(int argc, char* argv[])
{
    // Without a display, run offscreen only to report the skip.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        gHaveDisplay = false;
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    TestMenuBarWidth test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MenuBarWidth.moc"
