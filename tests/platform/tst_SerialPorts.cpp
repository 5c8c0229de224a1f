#include "platform/SerialPorts.h"

#include <QDir>
#include <QSerialPortInfo>
#include <QtTest>

namespace {

SerialPortEntry extra(const QString& name)
{
    SerialPortEntry e;
    e.name = name;
    e.inputDriverName = QStringLiteral("virtual");
    e.outputDriverName = QStringLiteral("virtual");
    e.makeBackend = [] { return std::unique_ptr<SerialBackend>(); };
    return e;
}

QStringList names(const QList<SerialPortEntry>& ports)
{
    QStringList out;
    for (const SerialPortEntry& p : ports)
        out << p.name;
    return out;
}

// What the system itself offers, asked the same way the inventory asks.
QStringList systemNames()
{
    QStringList out;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        out << info.portName();
    const QStringList rfcomm =
        QDir(QStringLiteral("/dev")).entryList({QStringLiteral("rfcomm*")}, QDir::System);
    for (const QString& dev : rfcomm) {
        if (!out.contains(dev))
            out << dev;
    }
    return out;
}

} // namespace

class TestSerialPorts : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void order_data();
    void order();
    void indexAccess();
    void deviceEntryFields();
    void overrideReplacesEverything();
};

void TestSerialPorts::cleanup()
{
    qunsetenv("VANTOR_IR_PORTS");
    SerialPorts::clearExtraPorts();
    SerialPorts::clearOverride();
}

void TestSerialPorts::order_data()
{
    QTest::addColumn<QByteArray>("env");
    QTest::addColumn<QStringList>("envPorts");
    QTest::addColumn<QStringList>("extras");

    QTest::newRow("nothing extra") << QByteArray() << QStringList() << QStringList();
    QTest::newRow("one path") << QByteArray("/dev/pts/77") << QStringList{"/dev/pts/77"}
                              << QStringList();
    QTest::newRow("paths in order, empty parts skipped")
        << QByteArray("/tmp/ttyV1::/dev/pts/9:/tmp/ttyV0:")
        << QStringList{"/tmp/ttyV1", "/dev/pts/9", "/tmp/ttyV0"} << QStringList();
    QTest::newRow("extras come last")
        << QByteArray("/tmp/b:/tmp/a") << QStringList{"/tmp/b", "/tmp/a"}
        << QStringList{"Virtual QMC-4410", "Second"};
    QTest::newRow("only extras") << QByteArray() << QStringList()
                                 << QStringList{"Virtual QMC-4410"};
}

void TestSerialPorts::order()
{
    QFETCH(QByteArray, env);
    QFETCH(QStringList, envPorts);
    QFETCH(QStringList, extras);

    if (!env.isEmpty())
        qputenv("VANTOR_IR_PORTS", env);
    for (const QString& e : extras)
        SerialPorts::registerExtraPort(extra(e));

    const QList<SerialPortEntry> ports = SerialPorts::list();
    const QStringList expected = systemNames() + envPorts + extras;
    QCOMPARE(names(ports), expected);
    QCOMPARE(SerialPorts::count(), int(expected.size()));

    const qsizetype firstEnv = expected.size() - envPorts.size() - extras.size();
    for (qsizetype i = 0; i < envPorts.size(); ++i) {
        const SerialPortEntry& p = ports.at(firstEnv + i);
        QCOMPARE(p.inputDriverName, envPorts.at(i)); // the device path
        QVERIFY(!p.isNull());
    }
    if (!extras.isEmpty())
        QCOMPARE(ports.last().inputDriverName, QStringLiteral("virtual"));
}

void TestSerialPorts::indexAccess()
{
    qputenv("VANTOR_IR_PORTS", "/tmp/one:/tmp/two");
    SerialPorts::registerExtraPort(extra(QStringLiteral("Virtual QMC-4410")));
    const int n = SerialPorts::count();
    QVERIFY(n >= 3);
    QCOMPARE(SerialPorts::at(n - 1).name, QStringLiteral("Virtual QMC-4410"));
    QCOMPARE(SerialPorts::at(n - 2).name, QStringLiteral("/tmp/two"));
    QCOMPARE(SerialPorts::at(n - 3).name, QStringLiteral("/tmp/one"));
    QVERIFY(SerialPorts::at(n).isNull());
    QVERIFY(SerialPorts::at(-1).isNull());
    QVERIFY(SerialPorts::at(n).name.isEmpty());

    // The list is asked afresh: a port registered later shows up.
    SerialPorts::registerExtraPort(extra(QStringLiteral("Later")));
    QCOMPARE(SerialPorts::count(), n + 1);
    SerialPorts::clearExtraPorts();
    QCOMPARE(SerialPorts::count(), n - 1);
}

void TestSerialPorts::deviceEntryFields()
{
    const SerialPortEntry e = SerialPorts::deviceEntry(
        QStringLiteral("ttyUSB3"), QStringLiteral("/dev/ttyUSB3"), QStringLiteral("A9XYZ"));
    QCOMPARE(e.name, QStringLiteral("ttyUSB3"));
    QCOMPARE(e.inputDriverName, QStringLiteral("/dev/ttyUSB3"));
    QCOMPARE(e.outputDriverName, QStringLiteral("A9XYZ"));
    QVERIFY(!e.isNull());
    std::unique_ptr<SerialBackend> b = e.makeBackend();
    QVERIFY(b);
    QVERIFY(!b->isOpen());
    QVERIFY(SerialPortEntry().isNull());
}

void TestSerialPorts::overrideReplacesEverything()
{
    qputenv("VANTOR_IR_PORTS", "/tmp/env-port");
    SerialPorts::registerExtraPort(extra(QStringLiteral("Virtual QMC-4410")));
    const int normal = SerialPorts::count();

    SerialPorts::setOverride({extra(QStringLiteral("B")), extra(QStringLiteral("A"))});
    QCOMPARE(names(SerialPorts::list()), (QStringList{"B", "A"}));
    QCOMPARE(SerialPorts::count(), 2);
    QCOMPARE(SerialPorts::at(1).name, QStringLiteral("A"));

    SerialPorts::setOverride({});
    QCOMPARE(SerialPorts::count(), 0);
    QVERIFY(SerialPorts::at(0).isNull());

    SerialPorts::clearOverride();
    QCOMPARE(SerialPorts::count(), normal);
    QCOMPARE(SerialPorts::at(normal - 1).name, QStringLiteral("Virtual QMC-4410"));
}

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_SerialPorts.moc"
