#include "emulator/QmcModel.h"
#include "remote/VirtualMonitor.h"

#include <QTableWidget>
#include <QTest>

// The monitor shows what the controller model received, as the model reports
// it, and follows every change without being asked.
class TestVirtualMonitor : public QObject
{
    Q_OBJECT
    static void feed(QmcModel& model, const char* hex)
    {
        for (char byte : QByteArray::fromHex(hex))
            model.feed(quint8(byte));
    }

private slots:
    void showsWhatTheModelReceived_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("variable");
        QTest::addColumn<QStringList>("shown"); // key, the variable's value, run state
        auto row = [](const char* name, const char* hex, int n, QStringList shown) {
            QTest::newRow(name) << QByteArray(hex) << n << shown;
        };
        row("key 32, ID 4 (escaped)", "FF80", 8, {"128 (0x80)  ID=4  key 32", "0 (0x00)", "停止"});
        row("#3 variable written", "F8420125", 3, {"37 (0x25)  ID=2  key 5", "37 (0x25)", "停止"});
        row("#8, then key 1 of ID 2", "F847018021", 8,
            {"33 (0x21)  ID=2  key 1", "128 (0x80)", "停止"});
        row("run", "FB", 2, {"-", "0 (0x00)", "実行中"});
    }
    void showsWhatTheModelReceived()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, variable);
        QFETCH(QStringList, shown);
        QmcModel model;
        VirtualMonitor monitor(&model);
        QCOMPARE(monitor.keyText(), QStringLiteral("-"));
        feed(model, bytes.constData());
        QTRY_COMPARE(
            (QStringList{monitor.keyText(), monitor.variableText(variable), monitor.runText()}),
            shown);
    }

    void servoPositionsAndSwitching()
    {
        QmcModel model;
        VirtualMonitor monitor(&model);
        feed(model, "E6031EE603FFE62F64"); // servo 3 to 30, then to 255; servo 47 to 100
        QTRY_COMPARE(monitor.servoText(3), QStringLiteral("255"));
        QCOMPARE(monitor.servoText(47), QStringLiteral("100"));
        QCOMPARE(monitor.servoText(4), QString::number(model.servoPosition(4)));
        // Servos switched on are drawn in the ordinary text colour, the others greyed.
        auto* table = monitor.findChild<QTableWidget*>(QStringLiteral("ServoTable"));
        feed(model, "E703");
        QTRY_COMPARE(table->item(0, 2)->foreground().color(), monitor.palette().text().color());
        QVERIFY(table->item(0, 3)->foreground().color() != monitor.palette().text().color());
    }
};

QTEST_MAIN(TestVirtualMonitor)
#include "tst_virtualmonitor.moc"
