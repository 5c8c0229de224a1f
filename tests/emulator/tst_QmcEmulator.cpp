// qmc-emulator on a pseudo-terminal, read and written by a QSerialPort as a client would: the
// devices it plays besides the controller, its link, and its options.
#include "QmcEmulatorProcess.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// Everything the port receives until at least `atLeast` bytes have come or the wait ran out.
QByteArray Receive(QSerialPort& port, qsizetype atLeast, int timeoutMs = 5000)
{
    QByteArray bytes;
    (void)QTest::qWaitFor(
        [&] {
            bytes += port.readAll();
            return bytes.size() >= atLeast;
        },
        timeoutMs);
    return bytes;
}

} // namespace

class TestQmcEmulator : public QObject
{
    Q_OBJECT
    QTemporaryDir mDir;

private slots:
    // The bytes of a device that sends on its own really arrive, at about a 9600 bit/s line's
    // pace, and what it receives changes nothing.
    void chatter_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("noise") << QStringList{"--noise", "--seed", "7"};
        QTest::newRow("text") << QStringList{"--text"};
    }
    void chatter()
    {
        QFETCH(QStringList, args);
        QmcEmulatorProcess emu;
        QVERIFY(emu.start(args));
        QSerialPort port(emu.path);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        QCOMPARE(port.write(QByteArray::fromHex("F000")), 2);
        const QByteArray bytes = Receive(port, 400);
        QVERIFY2(bytes.size() >= 400, bytes.toHex(' ').constData());
        // Heard, never answered.
        QCOMPARE(emu.received(2).toHex(' '), QByteArray("f0 00"));
        QVERIFY(emu.trace.contains("rx F0 tx --\nrx 00 tx --\n"));
        if (!args.contains("--text"))
            return;
        // Whole NMEA sentences, each with its checksum (the XOR of the bytes between $ and *).
        static const QRegularExpression sentence(
            QStringLiteral("^\\$(GP[A-Z]{3},[-0-9A-Z.,]*)\\*([0-9A-F]{2})$"));
        QList<QByteArray> lines = bytes.split('\n');
        lines.removeLast(); // still arriving
        QVERIFY(lines.size() >= 4);
        for (const QByteArray& line : lines) {
            QVERIFY2(line.endsWith('\r'), line.constData());
            const QRegularExpressionMatch m = sentence.match(QString::fromLatin1(line.chopped(1)));
            QVERIFY2(m.hasMatch(), line.constData());
            quint8 sum = 0;
            for (const QChar c : m.captured(1))
                sum ^= quint8(c.unicode());
            QCOMPARE(m.captured(2).toInt(nullptr, 16), int(sum));
        }
    }

    // Right after the first byte it receives, once, the emulator puts a stale byte on the line
    // ahead of that byte's own answer (also when the answer itself is delayed).
    void lateAnswer_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("stale"); // in hexadecimal
        QTest::newRow("default") << QStringList{"--late-answer"} << QByteArray("55");
        QTest::newRow("chosen byte, delayed answers")
            << QStringList{"--late-answer", "--late-byte", "AA", "--delay-us", "3000"}
            << QByteArray("AA");
    }
    void lateAnswer()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, stale);
        QmcEmulatorProcess emu;
        QVERIFY(emu.start(args));
        QSerialPort port(emu.path);
        QVERIFY(port.open(QIODevice::ReadWrite));
        // Identification: F0 is echoed, the next byte answered with the first of "QM4410".
        QByteArray received;
        port.write(QByteArray::fromHex("F0"));
        received += Receive(port, 2);
        port.write(QByteArray::fromHex("00"));
        received += Receive(port, 1);
        port.write(QByteArray::fromHex("00"));
        received += Receive(port, 1);
        QCOMPARE(received.toHex(' '),
                 QByteArray::fromHex(stale + "F0514D").toHex(' '));
    }

    // A link that a live emulator holds is not taken over by a second one; once its emulator is
    // gone (killed, the link left behind) the link is stale and the next emulator replaces it.
    void heldLinkIsRefused()
    {
        const QString link = mDir.filePath("ttyHeld");
        QmcEmulatorProcess first;
        QVERIFY(first.start({"--link", link}));
        QProcess second;
        second.start(QStringLiteral(QMC_EMULATOR_PATH), {"--link", link, "--exit-after-idle", "5"});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardOutput().isEmpty());
        const QString err = QString::fromLocal8Bit(second.readAllStandardError());
        QVERIFY2(err.contains(link + " leads to " + first.path + ", which is in use"),
                 qPrintable(err));
        // The first one's link is left as it was, leading to its live emulator.
        QCOMPARE(QFileInfo(link).symLinkTarget(), first.path);

        first.process.kill(); // no chance to remove its link
        QVERIFY(first.process.waitForFinished(5000));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(!QFileInfo::exists(link)); // the pseudo-terminal went with it
        // The system may hand the same pseudo-terminal number to the next emulator.
        QmcEmulatorProcess third;
        QVERIFY(third.start({"--link", link}));
        QCOMPARE(QFileInfo(link).symLinkTarget(), third.path);
    }

    // --unsolicited takes bytes as vantorctl send does, separated or not; what it cannot take, or
    // a number out of its option's range, is refused with exit status 2 and the reason.
    void unsolicitedBytes_data()
    {
        QTest::addColumn<QString>("text");    // as typed
        QTest::addColumn<QByteArray>("bytes"); // on the line, in hexadecimal; null: refused
        QTest::addColumn<QStringList>("also"); // further options
        QTest::addColumn<QString>("refusal");
        const QString notHex = QStringLiteral("--unsolicited needs bytes in hexadecimal, not '%1'");
        QTest::newRow("commas and colons") << "aa,bb:cc" << QByteArray("AABBCC") << QStringList() << "";
        QTest::newRow("0x and single digits")
            << "0xAA 0x0b 7" << QByteArray("AA0B07") << QStringList() << "";
        QTest::newRow("not hexadecimal") << "AG" << QByteArray() << QStringList() << notHex.arg("AG");
        QTest::newRow("odd run") << "AAB" << QByteArray() << QStringList() << notHex.arg("AAB");
        QTest::newRow("delay below its range")
            << "AA" << QByteArray() << QStringList{"--delay-us", "-1"}
            << "--delay-us needs a whole number from 0 to 10000000, not '-1'";
    }
    void unsolicitedBytes()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, also);
        QFETCH(QString, refusal);
        if (bytes.isNull()) {
            QProcess p;
            p.start(QStringLiteral(QMC_EMULATOR_PATH), QStringList{"--unsolicited", text} + also);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitCode(), 2);
            const QString err = QString::fromLocal8Bit(p.readAllStandardError());
            QVERIFY2(err.contains(refusal), qPrintable(err));
            return;
        }
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--unsolicited", text}));
        QSerialPort port(emu.path);
        QVERIFY(port.open(QIODevice::ReadWrite));
        const QByteArray expected = QByteArray::fromHex(bytes);
        QCOMPARE(Receive(port, expected.size()).toHex(' '), expected.toHex(' '));
    }

    // A burst written at once is answered in order, and a signal ends the session cleanly and
    // removes the link. (heldLinkIsRefused replaces a link an earlier run left behind.)
    void burstThenSignal_data()
    {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }
    void burstThenSignal()
    {
        QFETCH(int, sig);
        const QString link = mDir.filePath("qmc");
        QmcEmulatorProcess emu;
        QVERIFY(emu.start({"--link", link}));
        QSerialPort port(link);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        // Identification, a static RAM write and read back, run, the moving flag.
        port.write(QByteArray::fromHex("F0 000000000000 F8400105 F7400100 FB B000"));
        const QByteArray answers = QByteArray::fromHex("F0 514D34343130 F8400105 F7400105 FB B001");
        QCOMPARE(Receive(port, answers.size(), 10000).toHex(' '), answers.toHex(' '));
        QCOMPARE(::kill(pid_t(emu.process.processId()), sig), 0);
        QTRY_COMPARE_WITH_TIMEOUT(emu.process.state(), QProcess::NotRunning, 10000);
        QCOMPARE(emu.process.exitStatus() == QProcess::NormalExit ? emu.process.exitCode() : -1, 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestQmcEmulator)
#include "tst_QmcEmulator.moc"
