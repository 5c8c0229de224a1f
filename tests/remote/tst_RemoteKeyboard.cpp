// The remote window without a mouse: keys typed, the bytes on the wire and
// what a screen reader is told.
#include "FakeSerial.h"
#include "app/Module1.h"
#include "link/TransSepaWindow.h"
#include "remote/MyPicBtnClass.h"
#include "remote/RemoconWindow.h"
#include "remote/RoundRectangle.h"
#include "settings/PreferClass.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

namespace {
struct KeyboardRow
{
    int id;
    int num;          // the variable
    const char* keys; // typed in order, space-separated key sequences
    const char* wire; // what the controller receives, hex
    QString focused;  // accessible name of the focused control after; empty: none
};
} // namespace

Q_DECLARE_METATYPE(KeyboardRow)

class TestRemoteKeyboard : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;
    FakeSerialDevice* mFake = nullptr;
    RemoconWindow* mWin = nullptr;

    void type(const QString& keys)
    {
        for (const QString& key : keys.split(' ')) {
            const QKeyCombination k = QKeySequence(key)[0];
            QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : mWin;
            QTest::keyClick(target, k.key(), k.keyboardModifiers());
        }
    }
    QString description(QWidget* w)
    {
        return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Description);
    }

private slots:
    void initTestCase()
    {
        mFake = new FakeSerialDevice(this);
        mFake->setEcho();
        SerialPorts::setOverride({mFake->entry(QStringLiteral("FAKE1"), "in", "out")});
        gPref = new PreferClass(QStringLiteral("VantorController IR"), mDir.path());
        gPref->mPortInfo = SerialPortInfo(SerialPorts::at(0));
        new TransSepaWindow;
        mWin = new RemoconWindow;
        mWin->show();
        mWin->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mWin));
    }
    void init()
    {
        mFake->clearWritten();
        mWin->PopupMenu_Choice(QStringLiteral("Communicaion"));
        mWin->Event_Open();
        if (QWidget* focused = QApplication::focusWidget())
            focused->clearFocus();
    }
    void cleanupTestCase()
    {
        delete mWin;
        delete gTw;
        delete std::exchange(gPref, nullptr);
        SerialPorts::clearOverride();
    }

    void keysSendWhatAClickSends_data()
    {
        QTest::addColumn<KeyboardRow>("row");
        const KeyboardRow rows[] = {
            {.id = 1, .num = 1, .keys = "5", .wire = "05", .focused = {}},
            {.id = 2, .num = 1, .keys = "0", .wire = "2a", .focused = {}}, // key 10
            {.id = 4, .num = 1, .keys = "Up", .wire = "6b", .focused = {}},
            {.id = 1, .num = 3, .keys = "Left", .wire = "f842010e", .focused = {}},
            // Tab: the lamp, then 25, 19, 16, 1, ...; Shift+Tab wraps to the last key.
            {.id = 1, .num = 1, .keys = "Tab Tab Space", .wire = "19", .focused = "キー 25"},
            {.id = 1,
             .num = 1,
             .keys = "Tab Tab Tab Tab Tab Return",
             .wire = "01",
             .focused = "キー 1"},
            {.id = 4,
             .num = 8,
             .keys = "Backtab Backtab Space",
             .wire = "f8470180",
             .focused = "キー 32"},
            {.id = 1, .num = 1, .keys = "Shift+Backtab Enter", .wire = "17", .focused = "キー 23"},
        };
        for (const KeyboardRow& row : rows)
            QTest::addRow("%s, ID=%d #%d", row.keys, row.id, row.num) << row;
    }
    void keysSendWhatAClickSends()
    {
        QFETCH(KeyboardRow, row);
        mWin->PopupMenu_Choice(QStringLiteral("ID=%1").arg(row.id));
        mWin->PopupMenu_Choice(QStringLiteral("#%1 variable").arg(row.num));
        type(QLatin1String(row.keys));
        QTRY_VERIFY_WITH_TIMEOUT(gTw->link()->mMcpFinish && !gTw->mcpOpen(), 2000);
        QCOMPARE(mFake->written().toHex(), QByteArray(row.wire));
        QWidget* focused = QApplication::focusWidget();
        QCOMPARE(focused ? focused->accessibleName() : QString(), row.focused);
    }

    void focusIsMarkedAndAnnounced()
    {
        type("Tab Tab");
        MyPicBtnClass* key = mWin->IRRCnv[25];
        QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(key);
        QVERIFY(acc->role() == QAccessible::Button && acc->state().focused);
        const QRgb mark = key->palette().color(QPalette::Highlight).rgb();
        QCOMPARE(key->grab().toImage().pixel(1, key->height() / 2), mark);
        type("Tab");
        QCOMPARE_NE(key->grab().toImage().pixel(1, key->height() / 2), mark);
        // Descriptions follow the pop-up's choices.
        QCOMPARE(description(key), QStringLiteral("19 を送信"));
        mWin->PopupMenu_Choice(QStringLiteral("ID=2"));
        mWin->PopupMenu_Choice(QStringLiteral("#3 variable"));
        QCOMPARE(description(mWin->IRRCnv[5]), QStringLiteral("F8 42 01 25 を送信 — 5"));
        mWin->PopupMenu_Choice(QStringLiteral("Simulation"));
        QCOMPARE(description(mWin->IRRCnv[11]),
                 QStringLiteral("Simulation: F8 42 01 2B (未送信) — Up"));
        // An assistive tool's press sends nothing in simulation, only shows it.
        const int opens = mFake->openCount();
        QAccessible::queryAccessibleInterface(mWin->IRRCnv[16])
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(QToolTip::text(), QStringLiteral("Simulation: F8 42 01 30 (未送信)"));
        QCOMPARE(mFake->openCount(), opens);
        QToolTip::hideText();
    }

    void lampTellsItsStateInWords()
    {
        QCOMPARE(mWin->ConnectOV->accessibleName(), QStringLiteral("接続ランプ"));
        QVERIFY(description(mWin->ConnectOV).startsWith(QStringLiteral("切断")));
        QTest::keyClick(mWin, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(gTw->mcpOpen() && mWin->ConnectOV->FillColor() == QColor(0, 255, 0));
        QVERIFY(description(mWin->ConnectOV).startsWith(QStringLiteral("接続中")));
        type("Tab Space"); // the focused lamp closes it again
        QVERIFY(!gTw->mcpOpen());
        QVERIFY(description(mWin->ConnectOV).startsWith(QStringLiteral("切断")));
    }

    void popupFromTheKeyboard()
    {
        for (const char* keys : {"Menu", "Shift+F10"}) {
            type(QLatin1String(keys));
            QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
            for (int i = 0; i < 3; ++i)
                QTest::keyClick(mWin->popupMenu(), Qt::Key_Down);
            QTest::keyClick(mWin->popupMenu(), Qt::Key_Return);
            QTRY_COMPARE(mWin->SettingST->text(),
                         QStringLiteral("Communicaion\nID=3\n#1 variable"));
            mWin->Event_Open();
        }
    }

    void settingTextTooltipIsReadable()
    {
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), mWin->SettingST->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(mWin->SettingST, &help);
        QTRY_VERIFY(QToolTip::isVisible());
        QWidget* tip = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("qtooltip_label"))
                tip = w;
        QVERIFY(tip);
        const QColor ink = tip->palette().color(tip->foregroundRole());
        const QColor paper = tip->palette().color(tip->backgroundRole());
        QVERIFY2(qAbs(ink.lightness() - paper.lightness()) > 100,
                 qPrintable(ink.name() + " on " + paper.name()));
        QToolTip::hideText();
    }
};

QTEST_MAIN(TestRemoteKeyboard)
#include "tst_RemoteKeyboard.moc"
