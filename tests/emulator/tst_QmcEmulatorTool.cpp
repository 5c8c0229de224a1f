
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// A traced emulator that never abandons an exchange and leaves by itself if a test fails, and a
// QSerialPort client on its pseudo-terminal.
struct Session
{
    bool start(const QStringList& args, const QString& link = {})
    {
        const QStringList common{"--trace", "--exit-after-idle", "20", "--abandon-ms", "0"};
        process.start(QStringLiteral(QMC_EMULATOR_PATH), args + common);
        if (!QTest::qWaitFor([&] { return process.canReadLine(); }, 10000))
            return false;
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
        port.setPortName(link.isEmpty() ? path : link);
        port.setBaudRate(9600);
        QObject::connect(&port, &QSerialPort::readyRead, [this] { received += port.readAll(); });
        // A hung-up terminal reads as end of file again and again: keep the first report.
        QObject::connect(&port, &QSerialPort::errorOccurred,
                         [this](QSerialPort::SerialPortError e) {
                             if (e != QSerialPort::NoError && port.isOpen())
                                 errors.append(e), port.close();
                         });
        return path.startsWith("/dev/") && port.open(QIODevice::ReadWrite);
    }

    // Sends "F0 00>51 ..." (a byte, ">" and its answer unless an echo, "--": none) lock-step or at
    // once; a byte is done once traced with every traced answer arrived. Returns answers expected.
    QByteArray exchange(const QString& script, bool burst = false)
    {
        QByteArray in, out;
        for (const QString& t : script.split(' ', Qt::SkipEmptyParts)) {
            in += char(t.left(2).toUInt(nullptr, 16));
            if (!t.endsWith("--"))
                out += char(t.right(2).toUInt(nullptr, 16));
        }
        for (qsizetype i = 0; i < in.size(); i += burst ? in.size() : 1) {
            const QByteArray chunk = burst ? in : in.mid(i, 1);
            port.write(chunk);
            port.flush();
            const auto done = [&] {
                trace += process.readAllStandardError();
                const qsizetype rx = trace.count("rx ");
                return rx >= i + chunk.size() && received.size() >= rx - trace.count("tx --");
            };
            if (!QTest::qWaitFor(done, 10000))
                break;
        }
        return out;
    }

    QProcess process;
    QString path;
    QSerialPort port;
    QByteArray received, trace;
    QList<QSerialPort::SerialPortError> errors;
};

} // namespace

class TestQmcEmulatorTool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void dialogue_data();
    void dialogue();
    void badArguments_data();
    void badArguments();

private:
    QTemporaryDir mDir;
};

void TestQmcEmulatorTool::initTestCase()
{
    QVERIFY(mDir.isValid());
    QFile f(mDir.filePath("file"));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("keep") == 4);
}

void TestQmcEmulatorTool::dialogue_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("burst");
    QTest::addColumn<int>("sig"); // how the session ends
    const auto row = [](const char* name, const QStringList& args, const QString& script,
                        bool burst = false, int sig = SIGTERM) {
        QTest::newRow(name) << args << script << burst << sig;
    };
    const QString link = mDir.filePath("qmc");
    // clang-format off
    row("identification, by the link", {"--link", link}, "F0 00>51 51>4D 4D>34 34 34>31 31>30");
    row("static RAM write, read back, SIGINT", {"--link", link}, "F8 40 01 05 F7 40 01 00>05 F7 41 01 00", false, SIGINT);
    row("a burst answered in order", {}, "F0 00>51 00>4D 00>34 00>34 00>31 00>30 FB B0 00>01", true);
    row("hang up after 2", {"--hangup-after", "2"}, "F7 40 01>--", false, 0);
    // clang-format on
}

void TestQmcEmulatorTool::dialogue()
{
    QFETCH(QStringList, args);
    QFETCH(QString, script);
    QFETCH(bool, burst);
    QFETCH(int, sig);
    // A link left by an earlier run is replaced.
    const QString link = args.contains("--link") ? mDir.filePath("qmc") : QString();
    QVERIFY(link.isEmpty() || QFile::link("/nonexistent/device", link));
    Session s;
    QVERIFY2(s.start(args, link), qPrintable(s.port.errorString()));
    QVERIFY(link.isEmpty() || QFileInfo(link).symLinkTarget() == s.path);
    const QByteArray expected = s.exchange(script, burst);
    QCOMPARE(s.received.toHex(' '), expected.toHex(' '));
    if (sig) {
        QCOMPARE(s.errors.size(), 0);
        QCOMPARE(::kill(pid_t(s.process.processId()), sig), 0);
    } else { // the client sees the line die once; the emulator leaves on its own
        QTRY_COMPARE_WITH_TIMEOUT(s.errors.size(), 1, 10000);
        QVERIFY(s.errors[0] == QSerialPort::ReadError || s.errors[0] == QSerialPort::ResourceError);
    }
    QTRY_COMPARE_WITH_TIMEOUT(s.process.state(), QProcess::NotRunning, 10000);
    QCOMPARE(s.process.exitStatus() == QProcess::NormalExit ? s.process.exitCode() : -1, 0);
    QVERIFY(link.isEmpty() || !QFileInfo(link).isSymLink());
    QVERIFY(sig || (s.trace += s.process.readAllStandardError()).contains("hung up after 3 bytes"));
}

void TestQmcEmulatorTool::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    const auto row = [](const char* name, const QStringList& args, const char* message,
                        int code = 2) {
        QTest::newRow(name) << args << code << QByteArray(message);
    };
    row("unknown option", {"--bogus"}, "bogus");
    row("two fault modes", {"--silent", "--wrong"}, "at most one");
    row("link over a regular file, left alone", {"--link", mDir.filePath("file")},
        "not a symbolic link", 1);
}

void TestQmcEmulatorTool::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QProcess p;
    p.start(QStringLiteral(QMC_EMULATOR_PATH), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, exitCode);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(err.startsWith("qmc-emulator: ") && err.contains(message), err.constData());
    QFile keep(mDir.filePath("file")); // nothing served, nothing overwritten
    QVERIFY(p.readAllStandardOutput().isEmpty() && keep.open(QIODevice::ReadOnly) &&
            keep.readAll() == "keep");
}

QTEST_GUILESS_MAIN(TestQmcEmulatorTool)
#include "tst_QmcEmulatorTool.moc"
