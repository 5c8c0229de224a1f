// Every command family against every way the line can fail: a run either ends with exit 1,
// nothing on standard output and no output file, or it ends with exit 0 and exactly what a
// healthy controller gives. A byte the line made up is never reported as data.
#include "QmcEmulatorProcess.h"
#include "emulator/QmcModel.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A command family, and the file it writes (empty: standard output only).
struct Family
{
    const char* name;
    QStringList command;
    bool writesFile = false;
};

// A way the line fails, and whether the run must still succeed.
struct Fault
{
    const char* name;
    QStringList emulator;
    bool succeeds = false;
};

struct Row
{
    Family family;
    Fault fault;
};

struct Outcome
{
    int exitCode = -1;
    QByteArray out;
    QByteArray file;
    bool fileExists = false;
    QString err;
};

} // namespace
Q_DECLARE_METATYPE(Row)

class TestVantorctlFaults : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;

    Outcome runOn(const Row& row, const QStringList& emulator)
    {
        QmcEmulatorProcess emu;
        if (!emu.start(emulator))
            return {};
        const QString file = mDir.filePath(QStringLiteral("out.bin"));
        QFile::remove(file);
        QStringList args{"--port", emu.path, "--timeout", "300"};
        for (const QString& word : row.family.command)
            args << (word == QLatin1String("FILE") ? file : word);
        QProcess p;
        p.setWorkingDirectory(mDir.path());
        p.start(QStringLiteral(VANTORCTL_PATH), args);
        if (!p.waitForFinished(30000))
            return {};
        Outcome o{p.exitCode(),
                  p.readAllStandardOutput(),
                  {},
                  QFile::exists(file),
                  QString::fromLocal8Bit(p.readAllStandardError())};
        QFile f(file);
        if (f.open(QIODevice::ReadOnly))
            o.file = f.readAll();
        return o;
    }

private slots:
    void initTestCase()
    {
        QFile demo(mDir.filePath(QStringLiteral("demo.bin")));
        QVERIFY(demo.open(QIODevice::WriteOnly));
        QVERIFY(demo.write(QmcModel::demoProgram()) == QmcModel::demoProgram().size());
    }

    void commandsAgainstFaults_data()
    {
        QTest::addColumn<Row>("row");
        const Family families[] = {
            {"info", {"info"}},
            {"read -o", {"read", "extrom", "0", "4", "-o", "FILE"}, true},
            {"write --verify", {"write", "sram", "140", "05", "--verify"}},
            {"program save", {"program", "save", "FILE"}, true},
            {"program verify", {"program", "verify", "demo.bin"}},
            {"servo group", {"servo", "group", "1"}},
            {"pose", {"pose", "--channels", "1-12"}},
            {"key", {"key", "5"}},
            {"run", {"run"}},
        };
        const Fault faults[] = {
            {"silent", {"--silent"}},
            {"complements", {"--wrong"}},
            {"loopback plug", {"--loopback"}},
            {"answers 00", {"--zero"}},
            {"random bytes", {"--noise"}},
            {"text lines", {"--text"}},
            {"falls silent after the handshake", {"--stop-after", "7"}},
            {"hangs up after the handshake", {"--hangup-after", "7"}},
            // A stray byte before the first answer spoils only the first handshake: the line
            // is drained, the controller drops the half-received handshake after its 50 ms of
            // silence, and the second one goes through.
            {"late answer after the discard", {"--late-answer", "--abandon-ms", "50"}, true},
            {"chatter at power-on", {"--unsolicited", "55 AA"}, true},
        };
        for (const Family& family : families) {
            for (const Fault& fault : faults)
                QTest::addRow("%s, %s", family.name, fault.name) << Row{family, fault};
        }
    }
    void commandsAgainstFaults()
    {
        QFETCH(Row, row);
        const Outcome healthy = runOn(row, {});
        QCOMPARE(healthy.exitCode, 0);
        const Outcome o = runOn(row, row.fault.emulator);
        if (row.fault.succeeds) {
            QVERIFY2(o.exitCode == 0, qPrintable(o.err));
            QCOMPARE(o.out, healthy.out);
            QCOMPARE(o.file.toHex(), healthy.file.toHex());
            return;
        }
        QVERIFY2(o.exitCode == 1, qPrintable(QString::number(o.exitCode) + ": " + o.err));
        QVERIFY2(o.err.startsWith(QStringLiteral("vantorctl: ")), qPrintable(o.err));
        QCOMPARE(o.out, QByteArray());
        QVERIFY(!o.fileExists);
        if (row.family.writesFile)
            QVERIFY(healthy.fileExists);
    }
};

QTEST_GUILESS_MAIN(TestVantorctlFaults)
#include "tst_VantorctlFaults.moc"
