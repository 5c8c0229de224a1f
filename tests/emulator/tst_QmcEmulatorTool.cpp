#include "emulator/QmcModel.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// qmc-emulator end to end: started as its own process, reached through its
// pseudo-terminal with QSerialPort, as a user's serial program would.

namespace {

const QString kTool = QStringLiteral(QMC_EMULATOR_PATH);
// Every emulator started here ends by itself should a test fail half-way,
// and keeps an exchange going however long a loaded machine makes the test
// pause between two bytes (abandonment has its own test).
const QStringList kSafety{QStringLiteral("--exit-after-idle"), QStringLiteral("20"),
                          QStringLiteral("--abandon-ms"), QStringLiteral("0")};

class Emulator
{
public:
    Emulator() { mProcess.setProgram(kTool); }
    explicit Emulator(bool safety) : mSafety(safety) { mProcess.setProgram(kTool); }
    ~Emulator()
    {
        if (mProcess.state() != QProcess::NotRunning) {
            mProcess.terminate();
            if (!mProcess.waitForFinished(5000))
                mProcess.kill();
            mProcess.waitForFinished(5000);
        }
    }

    // Starts it and reads the device path from its first line.
    bool start(const QStringList& args)
    {
        mProcess.setArguments(mSafety ? args + kSafety : args);
        mProcess.start();
        if (!mProcess.waitForStarted(10000))
            return false;
        if (!QTest::qWaitFor([&] { return mProcess.canReadLine(); }, 10000))
            return false;
        mPath = QString::fromLocal8Bit(mProcess.readLine()).trimmed();
        return !mPath.isEmpty();
    }

    bool stderrContains(const QByteArray& text)
    {
        return QTest::qWaitFor(
            [&] {
                mErr += mProcess.readAllStandardError();
                return mErr.contains(text);
            },
            10000);
    }

    bool waitForExit()
    {
        return QTest::qWaitFor([&] { return mProcess.state() == QProcess::NotRunning; }, 10000);
    }

    bool mSafety = true;
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
        mPort.setDataBits(QSerialPort::Data8);
        mPort.setParity(QSerialPort::NoParity);
        mPort.setStopBits(QSerialPort::OneStop);
        mPort.setFlowControl(QSerialPort::NoFlowControl);
        QObject::connect(&mPort, &QSerialPort::readyRead, &mPort,
                         [this] { mReceived += mPort.readAll(); });
        return mPort.open(QIODevice::ReadWrite);
    }

    // Lock-step: each byte only after the answer to the one before.
    QByteArray exchange(const QByteArray& bytes)
    {
        const qsizetype start = mReceived.size();
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            mPort.write(bytes.mid(i, 1));
            mPort.flush();
            if (!QTest::qWaitFor([&] { return mReceived.size() >= start + i + 1; }, 10000))
                break;
        }
        return mReceived.mid(start);
    }

    QSerialPort mPort;
    QByteArray mReceived;
};

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class TestQmcEmulatorTool : public QObject
{
    Q_OBJECT
private slots:
    void identification();
    void sramWriteThenReadBack();
    void externalRomSizeAndChecksum();
    void servoGroupRead();
    void programFile();
    void answersInOneBurst();
    void abandonAfterSilence();
    void delayPerAnswer();
    void trace();
    void wrongAnswers();
    void silent();
    void stopAfter();
    void hangUpAfter();
    void linkRemovedOnSignal_data();
    void linkRemovedOnSignal();
    void staleLinkReplaced();
    void exitAfterIdle();
    void badArguments_data();
    void badArguments();
    void helpAndVersion();
};

void TestQmcEmulatorTool::identification()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    QVERIFY(emu.mPath.startsWith(QLatin1String("/dev/")));
    Client c;
    QVERIFY2(c.open(emu.mPath), qPrintable(c.mPort.errorString()));
    // F0, 00, then the identification bytes sent back as the link does.
    QCOMPARE(c.exchange(hex("F0 00 51 4D 34 34 31")), QByteArray("\xF0QM4410"));
}

void TestQmcEmulatorTool::sramWriteThenReadBack()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QCOMPARE(c.exchange(hex("F8 40 01 05")), hex("F8 40 01 05"));
    QCOMPARE(c.exchange(hex("F7 40 01 00")), hex("F7 40 01 05"));
    QCOMPARE(c.exchange(hex("F7 41 01 00")), hex("F7 41 01 00"));
}

void TestQmcEmulatorTool::externalRomSizeAndChecksum()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    const QByteArray demo = QmcModel::demoProgram();
    QCOMPARE(c.exchange(hex("F2 0E 00 00 F2 0F 00 00")),
             hex("F2 0E 00") + char(demo.size() & 0xFF) + hex("F2 0F 00") + char(demo.size() >> 8));
    unsigned sum = 0;
    for (const char b : demo)
        sum += quint8(b);
    QCOMPARE(c.exchange(hex("F7 F2 04 00 F7 F3 04 00")),
             hex("F7 F2 04") + char(sum & 0xFF) + hex("F7 F3 04") + char((sum >> 8) & 0xFF));
}

void TestQmcEmulatorTool::servoGroupRead()
{
    Emulator emu;
    QVERIFY(emu.start({}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QCOMPARE(c.exchange(hex("E6 07 5A E6 0C 2D E6 0D 99")), hex("E6 07 5A E6 0C 2D E6 0D 99"));
    QCOMPARE(c.exchange(hex("D5 00 00 00 00 00 00")), hex("D5 5A 00 00 00 00 2D"));
    QCOMPARE(c.exchange(hex("D6 00 00 00 00 00 00")), hex("D6 99 00 00 00 00 00"));
}

void TestQmcEmulatorTool::programFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // 40 bytes, the header claiming 32 of them: the checksum covers 32.
    QByteArray image(40, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(3 * i + 1);
    image[0x0E] = char(0x20);
    image[0x0F] = char(0x00);
    unsigned sum = 0;
    for (int i = 0; i < 0x20; ++i)
        sum += quint8(image.at(i));
    QFile f(dir.filePath(QStringLiteral("prog.bin")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(image);
    f.close();

    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--program"), f.fileName()}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QCOMPARE(c.exchange(hex("F2 0E 00 00 F2 0F 00 00")), hex("F2 0E 00 20 F2 0F 00 00"));
    QCOMPARE(c.exchange(hex("F2 27 00 00 F2 28 00 00")),
             hex("F2 27 00") + image.right(1) + hex("F2 28 00 00"));
    QCOMPARE(c.exchange(hex("F7 F2 04 00 F7 F3 04 00")),
             hex("F7 F2 04") + char(sum & 0xFF) + hex("F7 F3 04") + char(sum >> 8));
}

void TestQmcEmulatorTool::answersInOneBurst()
{
    // Bytes sent together are all answered, in order.
    Emulator emu;
    QVERIFY(emu.start({}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    c.mPort.write(hex("F0 00 00 00 00 00 00 FB B0 00"));
    QTRY_COMPARE(c.mReceived.size(), 10);
    QCOMPARE(c.mReceived, QByteArray("\xF0QM4410") + hex("FB B0 01"));
}

void TestQmcEmulatorTool::abandonAfterSilence()
{
    Emulator emu(false);
    QVERIFY(emu.start({QStringLiteral("--exit-after-idle"), QStringLiteral("20")}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QCOMPARE(c.exchange(hex("F0")), hex("F0"));
    // The identification is left unfinished; after 50 ms of silence a 00 is
    // a plain byte again, echoed.
    QElapsedTimer t;
    t.start();
    QVERIFY(QTest::qWaitFor([&] { return t.elapsed() > 80; }, 5000));
    QCOMPARE(c.exchange(hex("00")), hex("00"));
}

void TestQmcEmulatorTool::delayPerAnswer()
{
    // Lower bounds only: load makes answers later, never sooner.
    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--delay-us"), QStringLiteral("20000")}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QElapsedTimer t;
    t.start();
    QCOMPARE(c.exchange(hex("F0")), hex("F0"));
    QVERIFY2(t.elapsed() >= 20, qPrintable(QString::number(t.elapsed())));
    // Three bytes at once: the answers queue behind each other.
    t.restart();
    c.mPort.write(hex("00 00 00"));
    QTRY_COMPARE(c.mReceived.size(), 4);
    QVERIFY2(t.elapsed() >= 60, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(c.mReceived, QByteArray("\xF0QM4"));
}

void TestQmcEmulatorTool::trace()
{
    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--trace")}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QCOMPARE(c.exchange(hex("F0 00")), QByteArray("\xF0Q"));
    QVERIFY(emu.stderrContains("rx F0 tx F0\nrx 00 tx 51\n"));
}

void TestQmcEmulatorTool::wrongAnswers()
{
    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--wrong")}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QCOMPARE(c.exchange(hex("F0 00 FF")), hex("0F AE B2")); // ~F0, ~'Q', ~'M'
}

void TestQmcEmulatorTool::silent()
{
    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--silent"), QStringLiteral("--trace")}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    c.mPort.write(hex("F0 00"));
    c.mPort.flush();
    // The emulator's own account: received, not answered.
    QVERIFY(emu.stderrContains("rx F0 tx --\nrx 00 tx --\n"));
    QCoreApplication::processEvents();
    QCOMPARE(c.mReceived, QByteArray());
    QCOMPARE(emu.mProcess.state(), QProcess::Running);
}

void TestQmcEmulatorTool::stopAfter()
{
    Emulator emu;
    QVERIFY(emu.start(
        {QStringLiteral("--stop-after"), QStringLiteral("2"), QStringLiteral("--trace")}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    QCOMPARE(c.exchange(hex("F7 40")), hex("F7 40"));
    c.mPort.write(hex("01"));
    c.mPort.flush();
    QVERIFY(emu.stderrContains("rx 01 tx --\n"));
    QCoreApplication::processEvents();
    QCOMPARE(c.mReceived, hex("F7 40"));
}

void TestQmcEmulatorTool::hangUpAfter()
{
    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--hangup-after"), QStringLiteral("2")}));
    Client c;
    QVERIFY(c.open(emu.mPath));
    // A hung-up pseudo-terminal reads as end of file, which QSerialPort
    // reports again and again while the port stays open: keep the first
    // report and close.
    QList<QSerialPort::SerialPortError> errors;
    QObject::connect(&c.mPort, &QSerialPort::errorOccurred, &c.mPort,
                     [&](QSerialPort::SerialPortError e) {
                         if (e == QSerialPort::NoError || !c.mPort.isOpen())
                             return;
                         errors.append(e);
                         c.mPort.close();
                     });
    QCOMPARE(c.exchange(hex("F7 40")), hex("F7 40"));
    c.mPort.write(hex("01"));
    c.mPort.flush();
    // The client sees the line die; the emulator leaves on its own.
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 10000);
    QVERIFY2(errors.at(0) == QSerialPort::ReadError || errors.at(0) == QSerialPort::ResourceError,
             qPrintable(QString::number(errors.at(0))));
    QVERIFY(emu.waitForExit());
    QCOMPARE(emu.mProcess.exitStatus(), QProcess::NormalExit);
    QCOMPARE(emu.mProcess.exitCode(), 0);
    QCOMPARE(c.mReceived, hex("F7 40"));
    QVERIFY(emu.stderrContains("hung up after 3 bytes"));
}

void TestQmcEmulatorTool::linkRemovedOnSignal_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestQmcEmulatorTool::linkRemovedOnSignal()
{
    QFETCH(int, sig);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("qmc"));
    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--link"), link}));
    // The link is there as soon as the path is printed.
    const QFileInfo info(link);
    QVERIFY(info.isSymLink());
    QCOMPARE(info.symLinkTarget(), emu.mPath);

    Client c;
    QVERIFY(c.open(link));
    QCOMPARE(c.exchange(hex("F0 00")), QByteArray("\xF0Q"));

    QVERIFY(::kill(pid_t(emu.mProcess.processId()), sig) == 0);
    QVERIFY(emu.waitForExit());
    QCOMPARE(emu.mProcess.exitStatus(), QProcess::NormalExit);
    QCOMPARE(emu.mProcess.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(link));
}

void TestQmcEmulatorTool::staleLinkReplaced()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("qmc"));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/device"), link));
    Emulator emu;
    QVERIFY(emu.start({QStringLiteral("--link"), link}));
    QCOMPARE(QFileInfo(link).symLinkTarget(), emu.mPath);

    // A regular file is somebody's: refused, and left alone.
    const QString file = dir.filePath(QStringLiteral("file"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("keep");
    f.close();
    QProcess p;
    p.start(kTool, QStringList{QStringLiteral("--link"), file} + kSafety);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(p.readAllStandardError().contains("not a symbolic link"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("keep"));
}

void TestQmcEmulatorTool::exitAfterIdle()
{
    QProcess p;
    p.start(kTool, {QStringLiteral("--exit-after-idle"), QStringLiteral("0.3")});
    QVERIFY(p.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 15000);
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().startsWith("/dev/"));
}

void TestQmcEmulatorTool::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray("bogus");
    QTest::newRow("positional") << QStringList{"extra"} << QByteArray("extra");
    QTest::newRow("delay not a number")
        << QStringList{"--delay-us", "abc"} << QByteArray("--delay-us");
    QTest::newRow("negative delay") << QStringList{"--delay-us", "-1"} << QByteArray("--delay-us");
    QTest::newRow("delay missing") << QStringList{"--delay-us"} << QByteArray("delay-us");
    QTest::newRow("stop-after not a number")
        << QStringList{"--stop-after", "x"} << QByteArray("--stop-after");
    QTest::newRow("hangup-after negative")
        << QStringList{"--hangup-after", "-3"} << QByteArray("--hangup-after");
    QTest::newRow("two fault modes")
        << QStringList{"--silent", "--wrong"} << QByteArray("at most one");
    QTest::newRow("idle zero") << QStringList{"--exit-after-idle", "0"}
                               << QByteArray("--exit-after-idle");
    QTest::newRow("idle not a number")
        << QStringList{"--exit-after-idle", "soon"} << QByteArray("--exit-after-idle");
    QTest::newRow("missing program")
        << QStringList{"--program", "/nonexistent/prog.bin"} << QByteArray("/nonexistent/prog.bin");
    QTest::newRow("abandon not a number")
        << QStringList{"--abandon-ms", "x"} << QByteArray("--abandon-ms");
    QTest::newRow("empty link") << QStringList{"--link", ""} << QByteArray("--link");
}

void TestQmcEmulatorTool::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, message);
    QProcess p;
    // No safety timeout here: it would make "--exit-after-idle" rows valid.
    p.start(kTool, args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(err.startsWith("qmc-emulator: "), err.constData());
    QVERIFY2(err.contains(message), err.constData());
    // Nothing was served: no device path.
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
}

void TestQmcEmulatorTool::helpAndVersion()
{
    QProcess p;
    p.start(kTool, {QStringLiteral("--help")});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QByteArray help = p.readAllStandardOutput();
    for (const char* option :
         {"--link", "--program", "--delay-us", "--abandon-ms", "--silent", "--wrong",
          "--stop-after", "--hangup-after", "--trace", "--exit-after-idle"})
        QVERIFY2(help.contains(option), option);

    p.start(kTool, {QStringLiteral("--version")});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(p.readAllStandardOutput(), QByteArray("qmc-emulator " VANTOR_VERSION "\n"));
}

QTEST_GUILESS_MAIN(TestQmcEmulatorTool)
#include "tst_QmcEmulatorTool.moc"
