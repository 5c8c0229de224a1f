#include "emulator/QmcModel.h"
#include "remote/VirtualMonitor.h"

#include <QTableWidget>
#include <QTest>

// The monitor must show what the controller model received, as the model
// itself reports it, and follow every change without being asked.
class TestVirtualMonitor : public QObject
{
    Q_OBJECT
private slots:
    void showsWhatTheModelReceived_data();
    void showsWhatTheModelReceived();
    void servoPositionsAndSwitching();
};

namespace {
void feedHex(QmcModel& model, const char* hex)
{
    for (char byte : QByteArray::fromHex(hex))
        model.feed(quint8(byte));
}
} // namespace

void TestVirtualMonitor::showsWhatTheModelReceived_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("variable");
    QTest::addColumn<QString>("variableText");
    QTest::addColumn<QString>("run");

    QTest::newRow("key 5, ID 1") << QByteArray("05") << QStringLiteral("5 (0x05)  ID=1  key 5") << 2
                                 << QStringLiteral("0 (0x00)") << QStringLiteral("停止");
    QTest::newRow("key 32, ID 4 (escaped)")
        << QByteArray("FF80") << QStringLiteral("128 (0x80)  ID=4  key 32") << 8
        << QStringLiteral("0 (0x00)") << QStringLiteral("停止");
    QTest::newRow("#3 variable written") << QByteArray("F8420125") << QStringLiteral("-") << 3
                                         << QStringLiteral("37 (0x25)") << QStringLiteral("停止");
    QTest::newRow("#8 variable, then key 1 of ID 2")
        << QByteArray("F847018021") << QStringLiteral("33 (0x21)  ID=2  key 1") << 8
        << QStringLiteral("128 (0x80)") << QStringLiteral("停止");
    QTest::newRow("run") << QByteArray("FB") << QStringLiteral("-") << 2
                         << QStringLiteral("0 (0x00)") << QStringLiteral("実行中");
}

void TestVirtualMonitor::showsWhatTheModelReceived()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, key);
    QFETCH(int, variable);
    QFETCH(QString, variableText);
    QFETCH(QString, run);

    QmcModel model;
    VirtualMonitor monitor(&model);
    QCOMPARE(monitor.keyText(), QStringLiteral("-"));
    feedHex(model, bytes.constData());
    QTRY_COMPARE(monitor.keyText(), key);
    QTRY_COMPARE(monitor.variableText(variable), variableText);
    QTRY_COMPARE(monitor.runText(), run);
}

void TestVirtualMonitor::servoPositionsAndSwitching()
{
    QmcModel model;
    VirtualMonitor monitor(&model);
    feedHex(model, "E6031EE603FF"); // servo 3 to 30, then to 255
    feedHex(model, "E62F64");       // servo 47 to 100
    QTRY_COMPARE(monitor.servoText(3), QStringLiteral("255"));
    QCOMPARE(monitor.servoText(47), QStringLiteral("100"));
    QCOMPARE(monitor.servoText(4), QString::number(model.servoPosition(4)));

    // Switched on servos are drawn in the ordinary text colour, off ones greyed.
    auto* table = monitor.findChild<QTableWidget*>(QStringLiteral("ServoTable"));
    QVERIFY(table);
    feedHex(model, "E703");
    QTRY_VERIFY(model.servoOn(3));
    QTRY_COMPARE(table->item(0, 2)->foreground().color(), monitor.palette().text().color());
    QVERIFY(table->item(0, 3)->foreground().color() != monitor.palette().text().color());
}

QTEST_MAIN(TestVirtualMonitor)
#include "tst_virtualmonitor.moc"
