#include "settings/SerialPortInfo.h"

#include <QtTest>

class TestSerialPortInfo : public QObject
{
    Q_OBJECT
private slots:
    void fromPort_data();
    void fromPort();
    void emptyRecord();
};

void TestSerialPortInfo::fromPort_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("in");
    QTest::addColumn<QString>("out");
    QTest::newRow("all three") << "ttyUSB0"
                               << "/dev/ttyUSB0"
                               << "FT232R-1";
    QTest::newRow("empty drivers") << "Virtual QMC-4410"
                                   << ""
                                   << "";
    QTest::newRow("only output") << "rfcomm0"
                                 << ""
                                 << "bt";
    QTest::newRow("japanese") << QStringLiteral("ポート") << QStringLiteral("入力")
                              << QStringLiteral("出力");
}

void TestSerialPortInfo::fromPort()
{
    QFETCH(QString, name);
    QFETCH(QString, in);
    QFETCH(QString, out);
    SerialPortEntry e;
    e.name = name;
    e.inputDriverName = in;
    e.outputDriverName = out;
    const SerialPortInfo info(e);
    QCOMPARE(info.mName, name);
    QCOMPARE(info.mInputDriverName, in);
    QCOMPARE(info.mOutputDriverName, out);
}

void TestSerialPortInfo::emptyRecord()
{
    const SerialPortInfo info;
    QVERIFY(info.mName.isEmpty());
    QVERIFY(info.mInputDriverName.isEmpty());
    QVERIFY(info.mOutputDriverName.isEmpty());
}

QTEST_GUILESS_MAIN(TestSerialPortInfo)
#include "tst_SerialPortInfo.moc"
