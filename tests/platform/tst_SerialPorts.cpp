#include "platform/SerialPorts.h"

#include <QDir>
#include <QSerialPortInfo>
#include <QtTest>

class TestSerialPorts : public QObject
{
    Q_OBJECT
private slots:
    void order();
    void handTypedPaths_data();
    void handTypedPaths();
};

struct PathsRow
{
    const char* env;
    QStringList names; // the ports the list adds for it, in order
};
Q_DECLARE_METATYPE(PathsRow)

void TestSerialPorts::handTypedPaths_data()
{
    QTest::addColumn<PathsRow>("row");
    QTest::newRow("blanks around entries")
        << PathsRow{.env = " /tmp/ttyA : /tmp/ttyB\t", .names = {"/tmp/ttyA", "/tmp/ttyB"}};
    QTest::newRow("blank-only entry")
        << PathsRow{.env = "/tmp/ttyA:  :/tmp/ttyB", .names = {"/tmp/ttyA", "/tmp/ttyB"}};
    QTest::newRow("differing in case only")
        << PathsRow{.env = "/tmp/ttyQ:/TMP/TTYQ", .names = {"/tmp/ttyQ"}};
    QTest::newRow("padded duplicate: first kept")
        << PathsRow{.env = "/tmp/ttyA:/tmp/ttyB: /tmp/ttyA ", .names = {"/tmp/ttyA", "/tmp/ttyB"}};
}

void TestSerialPorts::handTypedPaths()
{
    QFETCH(PathsRow, row);
    SerialPorts::clearExtraPorts();
    qunsetenv("VANTOR_IR_PORTS");
    const int system = SerialPorts::count();
    qputenv("VANTOR_IR_PORTS", row.env);
    const QList<SerialPortEntry> ports = SerialPorts::list();
    qunsetenv("VANTOR_IR_PORTS");
    QStringList added, paths;
    for (qsizetype i = system; i < ports.size(); ++i) {
        added << ports.at(i).name;
        paths << ports.at(i).inputDriverName;
    }
    QCOMPARE(added, row.names);
    QCOMPARE(paths, row.names); // opened at the trimmed path
}

void TestSerialPorts::order()
{
    qputenv("VANTOR_IR_PORTS", "/tmp/ttyV1::/dev/pts/9:/tmp/ttyV0:"); // empty parts skipped
    for (const char* name : {"Virtual QMC-4410", "Second"})
        SerialPorts::registerExtraPort(
            {name, "virtual", "virtual", [] { return std::unique_ptr<SerialBackend>(); }});
    // The system's enumerated ports, rfcomm devices it misses, the paths given, then the extras.
    QStringList expected;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    for (const QString& dev : QDir("/dev").entryList({"rfcomm*"}, QDir::System))
        if (!expected.contains(dev))
            expected << dev;
    const QStringList paths{"/tmp/ttyV1", "/dev/pts/9", "/tmp/ttyV0"};
    const qsizetype firstPath = expected.size();
    expected << paths << "Virtual QMC-4410"
             << "Second";
    QCOMPARE(SerialPorts::count(), int(expected.size()));
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(SerialPorts::at(i).name, expected.at(i));
    for (qsizetype i = 0; i < paths.size(); ++i) // reached by the device path
        QCOMPARE(SerialPorts::at(int(firstPath + i)).inputDriverName, paths.at(i));
    QVERIFY(SerialPorts::at(int(expected.size())).isNull() && SerialPorts::at(-1).isNull());
}

QTEST_GUILESS_MAIN(TestSerialPorts)
#include "tst_SerialPorts.moc"
