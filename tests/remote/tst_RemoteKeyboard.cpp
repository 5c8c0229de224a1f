// The remote window without a mouse: Tab, Space/Return, shortcuts and the
// texts a screen reader announces, checked against the bytes on the wire.
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

struct Stroke
{
    Qt::Key key;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};

struct KeyboardRow
{
    const char* name;
    int id;
    int variable;
    QList<Stroke> strokes; // typed into the window, in order
    const char* wire;      // what the controller receives, hex
};

struct TextRow
{
    const char* name;
    int id;
    int variable;
    int type;        // 0 Communicaion, 1 Simulation
    int index;       // the key
    QString accName; // what a screen reader calls it
    QString accDescription;
};

} // namespace

Q_DECLARE_METATYPE(KeyboardRow)
Q_DECLARE_METATYPE(TextRow)

class TestRemoteKeyboard : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;
    FakeSerialDevice* mFake = nullptr;
    RemoconWindow* mWin = nullptr;

    void type(const QList<Stroke>& strokes)
    {
        for (const Stroke& s : strokes) {
            QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : mWin;
            QTest::keyClick(target, s.key, s.modifiers);
        }
    }
    void waitIdle() { QTRY_VERIFY_WITH_TIMEOUT(gTw->link()->mMcpFinish && !gTw->mcpOpen(), 2000); }

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
        mWin->mRemType = 0;
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

    void keyboardSendsTheClickBytes_data()
    {
        QTest::addColumn<KeyboardRow>("row");
        const KeyboardRow rows[] = {
            {.name = "digit 5", .id = 1, .variable = 1, .strokes = {{Qt::Key_5}}, .wire = "05"},
            {.name = "digit 0 is key 10",
             .id = 2,
             .variable = 1,
             .strokes = {{Qt::Key_0}},
             .wire = "2a"},
            {.name = "up is key 11",
             .id = 4,
             .variable = 1,
             .strokes = {{Qt::Key_Up}},
             .wire = "6b"},
            {.name = "left is key 14, #3",
             .id = 1,
             .variable = 3,
             .strokes = {{Qt::Key_Left}},
             .wire = "f842010e"},
            {.name = "right is key 13",
             .id = 1,
             .variable = 1,
             .strokes = {{Qt::Key_Right}},
             .wire = "0d"},
            {.name = "down is key 12",
             .id = 1,
             .variable = 1,
             .strokes = {{Qt::Key_Down}},
             .wire = "0c"},
            // Tab: the lamp first, then 25, 19, 16, 1.
            {.name = "Tab twice, Space: key 25",
             .id = 1,
             .variable = 1,
             .strokes = {{Qt::Key_Tab}, {Qt::Key_Tab}, {Qt::Key_Space}},
             .wire = "19"},
            {.name = "five Tabs, Return: key 1, #8",
             .id = 4,
             .variable = 8,
             .strokes = {{Qt::Key_Tab},
                         {Qt::Key_Tab},
                         {Qt::Key_Tab},
                         {Qt::Key_Tab},
                         {Qt::Key_Tab},
                         {Qt::Key_Return}},
             .wire = "f8470161"},
            {.name = "Shift+Tab wraps to key 23",
             .id = 1,
             .variable = 1,
             .strokes = {{Qt::Key_Backtab, Qt::ShiftModifier}, {Qt::Key_Enter}},
             .wire = "17"},
            {.name = "Tab past the cross centre: key 26",
             .id = 1,
             .variable = 1,
             .strokes = QList<Stroke>(19, {Qt::Key_Tab}) << Stroke{Qt::Key_Space},
             .wire = "1a"},
        };
        for (const KeyboardRow& row : rows)
            QTest::newRow(row.name) << row;
    }
    void keyboardSendsTheClickBytes()
    {
        QFETCH(KeyboardRow, row);
        mWin->mRemID = row.id;
        mWin->mRemNum = row.variable;
        type(row.strokes);
        waitIdle();
        QCOMPARE(mFake->written().toHex(), QByteArray(row.wire));
    }

    void focusIsVisibleAndAnnounced()
    {
        type({{Qt::Key_Tab}, {Qt::Key_Tab}});
        MyPicBtnClass* key = mWin->IRRCnv[25];
        QVERIFY(key->hasFocus());
        QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(key);
        QVERIFY(acc->state().focused && acc->state().focusable);
        QCOMPARE(acc->role(), QAccessible::Button);
        // The mark: an outline in the highlight colour, only while focused.
        const QColor mark = key->palette().color(QPalette::Highlight);
        QCOMPARE(key->grab().toImage().pixelColor(1, key->height() / 2).rgb(), mark.rgb());
        type({{Qt::Key_Tab}});
        QVERIFY(!key->hasFocus() && mWin->IRRCnv[19]->hasFocus());
        QCOMPARE_NE(key->grab().toImage().pixelColor(1, key->height() / 2).rgb(), mark.rgb());
    }

    void accessibleTexts_data()
    {
        QTest::addColumn<TextRow>("row");
        const TextRow rows[] = {
            {.name = "key 5",
             .id = 1,
             .variable = 1,
             .type = 0,
             .index = 5,
             .accName = "キー 5",
             .accDescription = "05 を送信 — 5"},
            {.name = "key 5, ID=2, #3",
             .id = 2,
             .variable = 3,
             .type = 0,
             .index = 5,
             .accName = "キー 5",
             .accDescription = "F8 42 01 25 を送信 — 5"},
            {.name = "key 32, ID=4",
             .id = 4,
             .variable = 1,
             .type = 0,
             .index = 32,
             .accName = "キー 32",
             .accDescription = "FF 80 を送信"},
            {.name = "up arrow",
             .id = 1,
             .variable = 1,
             .type = 0,
             .index = 11,
             .accName = "キー 上 (#11)",
             .accDescription = "0B を送信 — Up"},
            {.name = "simulation",
             .id = 1,
             .variable = 1,
             .type = 1,
             .index = 16,
             .accName = "キー 電源 (#16)",
             .accDescription = "Simulation: 10 (未送信)"},
        };
        for (const TextRow& row : rows)
            QTest::newRow(row.name) << row;
    }
    void accessibleTexts()
    {
        QFETCH(TextRow, row);
        // Chosen as the user chooses them: the pop-up's items.
        mWin->PopupMenu_Choice(row.type ? QStringLiteral("Simulation")
                                        : QStringLiteral("Communicaion"));
        mWin->PopupMenu_Choice(QStringLiteral("ID=%1").arg(row.id));
        mWin->PopupMenu_Choice(QStringLiteral("#%1 variable").arg(row.variable));
        QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(mWin->IRRCnv[row.index]);
        QCOMPARE(acc->text(QAccessible::Name), row.accName);
        QCOMPARE(acc->text(QAccessible::Description), row.accDescription);
    }

    void pressFromAnAssistiveTool()
    {
        mWin->mRemID = 3;
        QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(mWin->IRRCnv[9]);
        acc->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        waitIdle();
        QCOMPARE(mFake->written().toHex(), QByteArray("49"));
    }

    void lampByShortcutTellsItsState()
    {
        QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(mWin->ConnectOV);
        QCOMPARE(acc->text(QAccessible::Name), QStringLiteral("接続ランプ"));
        QVERIFY(acc->text(QAccessible::Description).startsWith(QStringLiteral("切断")));
        QTest::keyClick(mWin, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(gTw->mcpOpen());
        QCOMPARE(mWin->ConnectOV->FillColor(), QColor(0, 255, 0));
        QVERIFY(acc->text(QAccessible::Description).startsWith(QStringLiteral("接続中")));
        // Space on the focused lamp closes it again.
        type({{Qt::Key_Tab}, {Qt::Key_Space}});
        QVERIFY(!gTw->mcpOpen());
        QVERIFY(acc->text(QAccessible::Description).startsWith(QStringLiteral("切断")));
        QCOMPARE(mFake->written(), QByteArray());
    }

    void popupFromKeyboard_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Menu") << int(Qt::Key_Menu) << int(Qt::NoModifier);
        QTest::newRow("Shift+F10") << int(Qt::Key_F10) << int(Qt::ShiftModifier);
    }
    void popupFromKeyboard()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QTest::keyClick(mWin, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTRY_VERIFY(mWin->popupMenu() && mWin->popupMenu()->isVisible());
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(mWin->popupMenu(), Qt::Key_Down);
        QTest::keyClick(mWin->popupMenu(), Qt::Key_Return);
        QTRY_COMPARE(mWin->SettingST->text(), QStringLiteral("Communicaion\nID=3\n#1 variable"));
    }

    void simulationShowsTheCodeWithoutSending()
    {
        mWin->PopupMenu_Choice(QStringLiteral("Simulation"));
        mWin->PopupMenu_Choice(QStringLiteral("#2 variable"));
        MyPicBtnClass* key = mWin->IRRCnv[7];
        const int opens = mFake->openCount();
        QTest::mouseClick(key, Qt::LeftButton, {}, key->rect().center());
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), QStringLiteral("Simulation: F8 41 01 07 (未送信)"));
        QCOMPARE(mFake->openCount(), opens); // the link is not even opened
        QCOMPARE(mFake->written(), QByteArray());
        QToolTip::hideText();
    }

    void settingTextTooltipIsReadable()
    {
        QLabel* label = mWin->SettingST;
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), label->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(label, &help);
        QTRY_VERIFY(QToolTip::isVisible());
        QWidget* tip = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("qtooltip_label") && w->isVisible())
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
