#include "platform/SerialPorts.h"

#include <QDir>
#include <QSerialPortInfo>
#include <QtTest>

namespace {

SerialPortEntry extra(const QString& name)
{
    return {name, "virtual", "virtual", [] { return std::unique_ptr<SerialBackend>(); }};
}

QStringList names(const QList<SerialPortEntry>& ports)
{
    QStringList out;
    for (const SerialPortEntry& p : ports)
        out << p.name;
    return out;
}

} // namespace

class TestSerialPorts : public QObject
{
    Q_OBJECT
private slots:
    void order_data();
    void order();
};

void TestSerialPorts::order_data()
{
    QTest::addColumn<QByteArray>("env");
    QTest::addColumn<QStringList>("envPorts");
    QTest::addColumn<QStringList>("extras");
    QTest::newRow("nothing extra") << QByteArray() << QStringList() << QStringList();
    QTest::newRow("paths in order, empty parts skipped")
        << QByteArray("/tmp/ttyV1::/dev/pts/9:/tmp/ttyV0:")
        << QStringList{"/tmp/ttyV1", "/dev/pts/9", "/tmp/ttyV0"} << QStringList();
    QTest::newRow("extras come last")
        << QByteArray("/tmp/b:/tmp/a") << QStringList{"/tmp/b", "/tmp/a"}
        << QStringList{"Virtual QMC-4410", "Second"};
}

void TestSerialPorts::order()
{
    QFETCH(QByteArray, env);
    QFETCH(QStringList, envPorts);
    QFETCH(QStringList, extras);
    qputenv("VANTOR_IR_PORTS", env);
    SerialPorts::clearExtraPorts();
    for (const QString& e : extras)
        SerialPorts::registerExtraPort(extra(e));
    // First what the system offers: its enumerated ports, then rfcomm devices it misses.
    QStringList expected;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    for (const QString& dev : QDir("/dev").entryList({"rfcomm*"}, QDir::System))
        if (!expected.contains(dev))
            expected << dev;
    const qsizetype firstEnv = expected.size();
    expected << envPorts << extras;

    const QList<SerialPortEntry> ports = SerialPorts::list();
    QCOMPARE(names(ports), expected);
    for (qsizetype i = 0; i < envPorts.size(); ++i) // reached by the device path
        QCOMPARE(ports.at(firstEnv + i).inputDriverName, envPorts.at(i));
    QCOMPARE(SerialPorts::count(), int(expected.size()));
    for (int i = 0; i < ports.size(); ++i)
        QCOMPARE(SerialPorts::at(i).name, expected.at(i));
    QVERIFY(SerialPorts::at(int(ports.size())).isNull());
    QVERIFY(SerialPorts::at(-1).isNull());

    // Tests replace the whole list, and get it back.
    SerialPorts::setOverride({extra("B"), extra("A")});
    QCOMPARE(names(SerialPorts::list()), (QStringList{"B", "A"}));
    QCOMPARE(SerialPorts::at(1).name, QStringLiteral("A"));
    SerialPorts::clearOverride();
    QCOMPARE(names(SerialPorts::list()), expected);
}

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_SerialPorts.moc"
