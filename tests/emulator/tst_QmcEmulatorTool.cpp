#include "emulator/QmcModel.h"

#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// qmc-emulator as its own process, reached through its pseudo-terminal with QSerialPort.

namespace {

const QString kTool = QStringLiteral(QMC_EMULATOR_PATH);

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

class Emulator
{
public:
    ~Emulator()
    {
        if (mProcess.state() != QProcess::NotRunning) {
            mProcess.terminate();
            if (!mProcess.waitForFinished(5000))
                mProcess.kill();
            mProcess.waitForFinished(5000);
        }
    }

    // Starts it traced, ending by itself should a test fail half-way and never abandoning an
    // exchange however long a loaded machine pauses; reads the device path from its first line.
    bool start(const QStringList& args)
    {
        mProcess.start(
            kTool, args + QStringList{"--trace", "--exit-after-idle", "20", "--abandon-ms", "0"});
        if (!mProcess.waitForStarted(10000) ||
            !QTest::qWaitFor([&] { return mProcess.canReadLine(); }, 10000))
            return false;
        mPath = QString::fromLocal8Bit(mProcess.readLine()).trimmed();
        return mPath.startsWith(QLatin1String("/dev/"));
    }

    QByteArray err()
    {
        mErr += mProcess.readAllStandardError();
        return mErr;
    }

    QProcess mProcess;
    QString mPath;
    QByteArray mErr;
};

class Client
{
public:
    bool open(const QString& path)
    {
        mPort.setPortName(path);
        mPort.setBaudRate(9600);
        QObject::connect(&mPort, &QSerialPort::readyRead, &mPort,
                         [this] { mReceived += mPort.readAll(); });
        // A hung-up pseudo-terminal reads as end of file again and again: keep the first report.
        QObject::connect(&mPort, &QSerialPort::errorOccurred, &mPort,
                         [this](QSerialPort::SerialPortError e) {
                             if (e != QSerialPort::NoError && mPort.isOpen()) {
                                 mErrors.append(e);
                                 mPort.close();
                             }
                         });
        return mPort.open(QIODevice::ReadWrite);
    }

    // Sends lock-step (or all at once); a byte is done once the emulator's trace shows it
    // and every answer it traced has arrived, so an unanswered byte costs no timeout.
    bool exchange(Emulator& emu, const QByteArray& bytes, bool burst = false)
    {
        const auto done = [&](qsizetype sent) {
            const QByteArray trace = emu.err();
            const qsizetype rx = trace.count("rx "), answered = rx - trace.count("tx --");
            return rx >= mSent + sent && mReceived.size() >= answered;
        };
        for (qsizetype i = 0; i < bytes.size(); i += burst ? bytes.size() : 1) {
            const QByteArray chunk = burst ? bytes : bytes.mid(i, 1);
            mPort.write(chunk);
            mPort.flush();
            if (!QTest::qWaitFor([&] { return done(i + chunk.size()); }, 10000))
                return false;
        }
        mSent += bytes.size();
        return true;
    }

    QSerialPort mPort;
    QByteArray mReceived;
    QList<QSerialPort::SerialPortError> mErrors;
    qsizetype mSent = 0;
};

} // namespace

class TestQmcEmulatorTool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void dialogue_data();
    void dialogue();
    void linkRemovedOnSignal_data();
    void linkRemovedOnSignal();
    void badArguments_data();
    void badArguments();

private:
    QTemporaryDir mDir;
    QByteArray mImage;
};

void TestQmcEmulatorTool::initTestCase()
{
    QVERIFY(mDir.isValid());
    // 40 bytes, the header claiming 32 of them.
    for (int i = 0; i < 40; ++i)
        mImage.append(char(i == 0x0E ? 0x20 : i == 0x0F ? 0 : 3 * i + 1));
    QFile f(mDir.filePath("prog.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(mImage) == mImage.size());
    QFile keep(mDir.filePath("file"));
    QVERIFY(keep.open(QIODevice::WriteOnly) && keep.write("keep") == 4);
}

void TestQmcEmulatorTool::dialogue_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<bool>("burst");
    const auto sum = [](const QByteArray& b) {
        const unsigned s = std::accumulate(b.begin(), b.end(), 0u,
                                           [](unsigned a, char c) { return a + quint8(c); });
        return QByteArray(1, char(s & 0xFF)) + hex("F7 F3 04") + char((s >> 8) & 0xFF);
    };
    const QByteArray demo = QmcModel::demoProgram();
    QTest::newRow("identification")
        << QStringList{} << hex("F0 00 51 4D 34 34 31") << QByteArray("\xF0QM4410") << false;
    QTest::newRow("static RAM write, read back")
        << QStringList{} << hex("F8 40 01 05 F7 40 01 00 F7 41 01 00")
        << hex("F8 40 01 05 F7 40 01 05 F7 41 01 00") << false;
    QTest::newRow("external ROM size, checksum")
        << QStringList{} << hex("F2 0E 00 00 F2 0F 00 00 F7 F2 04 00 F7 F3 04 00")
        << hex("F2 0E 00") + char(demo.size() & 0xFF) + hex("F2 0F 00") + char(demo.size() >> 8) +
               hex("F7 F2 04") + sum(demo)
        << false;
    QTest::newRow("servo groups")
        << QStringList{}
        << hex("E6 07 5A E6 0C 2D E6 0D 99 D5 00 00 00 00 00 00 D6 00 00 00 00 00 00")
        << hex("E6 07 5A E6 0C 2D E6 0D 99 D5 5A 00 00 00 00 2D D6 99 00 00 00 00 00") << false;
    QTest::newRow("a burst answered in order")
        << QStringList{} << hex("F0 00 00 00 00 00 00 FB B0 00")
        << QByteArray("\xF0QM4410\xFB\xB0\x01") << true;
    QTest::newRow("program file") << QStringList{"--program", mDir.filePath("prog.bin")}
                                  << hex("F2 0E 00 00 F2 27 00 00 F7 F2 04 00 F7 F3 04 00")
                                  << hex("F2 0E 00 20 F2 27 00") + mImage.right(1) +
                                         hex("F7 F2 04") + sum(mImage.left(32))
                                  << false;
    QTest::newRow("wrong") << QStringList{"--wrong"} << hex("F0 00 FF") << hex("0F AE B2") << false;
    QTest::newRow("silent") << QStringList{"--silent"} << hex("F0 00") << QByteArray() << false;
    QTest::newRow("stop after 2") << QStringList{"--stop-after", "2"} << hex("F7 40 01 00")
                                  << hex("F7 40") << false;
    QTest::newRow("hang up after 2")
        << QStringList{"--hangup-after", "2"} << hex("F7 40 01") << hex("F7 40") << false;
}

void TestQmcEmulatorTool::dialogue()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QFETCH(bool, burst);
    Emulator emu;
    QVERIFY(emu.start(args));
    Client c;
    QVERIFY2(c.open(emu.mPath), qPrintable(c.mPort.errorString()));
    QVERIFY2(c.exchange(emu, in, burst), emu.err().constData());
    QCOMPARE(c.mReceived.toHex(' '), out.toHex(' '));
    if (!args.contains("--hangup-after")) {
        QCOMPARE(c.mErrors.size(), 0);
        QCOMPARE(emu.mProcess.state(), QProcess::Running);
        return;
    }
    // The client sees the line die once; the emulator leaves on its own.
    QTRY_COMPARE_WITH_TIMEOUT(c.mErrors.size(), 1, 10000);
    QVERIFY(c.mErrors[0] == QSerialPort::ReadError || c.mErrors[0] == QSerialPort::ResourceError);
    QTRY_COMPARE_WITH_TIMEOUT(emu.mProcess.state(), QProcess::NotRunning, 10000);
    QCOMPARE(emu.mProcess.exitCode(), 0);
    QVERIFY(emu.err().contains("hung up after 3 bytes"));
}

void TestQmcEmulatorTool::linkRemovedOnSignal_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<bool>("stale");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("stale link replaced") << int(SIGTERM) << true;
}

void TestQmcEmulatorTool::linkRemovedOnSignal()
{
    QFETCH(int, sig);
    QFETCH(bool, stale);
    const QString link = mDir.filePath("qmc");
    if (stale)
        QVERIFY(QFile::link("/nonexistent/device", link));
    Emulator emu;
    QVERIFY(emu.start({"--link", link}));
    QCOMPARE(QFileInfo(link).symLinkTarget(), emu.mPath); // there as soon as the path is printed
    Client c;
    QVERIFY(c.open(link));
    QVERIFY(c.exchange(emu, hex("F0 00")));
    QCOMPARE(c.mReceived, QByteArray("\xF0Q"));
    QCOMPARE(::kill(pid_t(emu.mProcess.processId()), sig), 0);
    QTRY_COMPARE_WITH_TIMEOUT(emu.mProcess.state(), QProcess::NotRunning, 10000);
    QCOMPARE(emu.mProcess.exitStatus(), QProcess::NormalExit);
    QCOMPARE(emu.mProcess.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestQmcEmulatorTool::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QByteArray("bogus");
    QTest::newRow("positional") << QStringList{"extra"} << 2 << QByteArray("extra");
    QTest::newRow("delay not a number")
        << QStringList{"--delay-us", "abc"} << 2 << QByteArray("--delay-us");
    QTest::newRow("negative delay")
        << QStringList{"--delay-us", "-1"} << 2 << QByteArray("--delay-us");
    QTest::newRow("delay missing") << QStringList{"--delay-us"} << 2 << QByteArray("delay-us");
    QTest::newRow("stop-after not a number")
        << QStringList{"--stop-after", "x"} << 2 << QByteArray("--stop-after");
    QTest::newRow("hangup-after negative")
        << QStringList{"--hangup-after", "-3"} << 2 << QByteArray("--hangup-after");
    QTest::newRow("two fault modes")
        << QStringList{"--silent", "--wrong"} << 2 << QByteArray("at most one");
    QTest::newRow("idle zero") << QStringList{"--exit-after-idle", "0"} << 2
                               << QByteArray("--exit-after-idle");
    QTest::newRow("abandon not a number")
        << QStringList{"--abandon-ms", "x"} << 2 << QByteArray("--abandon-ms");
    QTest::newRow("missing program")
        << QStringList{"--program", "/nonexistent/p.bin"} << 2 << QByteArray("/nonexistent/p.bin");
    QTest::newRow("empty link") << QStringList{"--link", ""} << 2 << QByteArray("--link");
    // A regular file is somebody's: refused and left alone.
    QTest::newRow("link over a file")
        << QStringList{"--link", mDir.filePath("file")} << 1 << QByteArray("not a symbolic link");
}

void TestQmcEmulatorTool::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QProcess p;
    p.start(kTool, args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(err.startsWith("qmc-emulator: ") && err.contains(message), err.constData());
    QCOMPARE(p.readAllStandardOutput(), QByteArray()); // nothing served
    QFile keep(mDir.filePath("file"));
    QVERIFY(keep.open(QIODevice::ReadOnly));
    QCOMPARE(keep.readAll(), QByteArray("keep"));
}

QTEST_GUILESS_MAIN(TestQmcEmulatorTool)
#include "tst_QmcEmulatorTool.moc"
