#pragma once

// qmc-emulator as a process on a pseudo-terminal, for tests that drive a real line. It traces
// every byte it takes ("rx F7 tx F7"), never abandons an exchange unless told otherwise with
// --abandon-ms (a loaded machine cannot throw a read out of step), leaves by itself if a test
// fails, and is ended when destroyed. The test target defines QMC_EMULATOR_PATH.
#include <QProcess>
#include <QTest>

class QmcEmulatorProcess
{
public:
    ~QmcEmulatorProcess()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }

    // Starts it with extra arguments and reads the device path from its first line.
    bool start(const QStringList& args = {})
    {
        QStringList common{"--trace", "--exit-after-idle", "30"};
        if (!args.contains(QStringLiteral("--abandon-ms")))
            common << QStringLiteral("--abandon-ms") << QStringLiteral("0");
        process.start(QStringLiteral(QMC_EMULATOR_PATH), args + common);
        if (!QTest::qWaitFor([&] { return process.canReadLine(); }, 10000))
            return false;
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
        return path.startsWith("/dev/");
    }

    // Every byte it took off the line so far, in order, once at least `atLeast` have arrived or
    // the wait ran out (lock-step: the last one may still be in the trace pipe).
    QByteArray received(qsizetype atLeast = 0)
    {
        QByteArray bytes;
        (void)QTest::qWaitFor(
            [&] {
                trace += process.readAllStandardError();
                bytes.clear();
                for (const QByteArray& line : trace.split('\n')) {
                    if (line.startsWith("rx "))
                        bytes += QByteArray::fromHex(line.mid(3, 2));
                }
                return bytes.size() >= atLeast;
            },
            2000);
        return bytes;
    }

    QProcess process;
    QString path;
    QByteArray trace;
};
