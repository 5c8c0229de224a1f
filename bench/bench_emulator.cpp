// How fast the virtual controller answers: lock-step exchanges per second
// through the model alone, the in-process port (at once and at the line's
// pace) and qmc-emulator on a pseudo-terminal (undelayed and with the 9600
// bit/s delay). Prints one line per case.

#include "emulator/QmcModel.h"
#include "emulator/VirtualSerialBackend.h"
#include "platform/Serial.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSerialPort>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace {

using namespace std::chrono_literals;
constexpr auto kRunTime = 1000ms; // per case

void report(const char* name, qint64 exchanges, qint64 nsecs)
{
    const double seconds = double(nsecs) / 1e9;
    std::printf("%-44s %10.0f exchanges/s  %8.1f us/exchange\n", name, double(exchanges) / seconds,
                double(nsecs) / 1e3 / double(exchanges ? exchanges : 1));
    std::fflush(stdout);
}

void benchModel()
{
    QmcModel model;
    model.setClock([] { return qint64(0); });
    // Identification, a group read, a static RAM read, keys.
    const QByteArray mix =
        QByteArray::fromHex("F0 00 00 00 00 00 00 D4 00 00 00 00 00 00 F7 40 01 00 05 25 FF 80");
    QElapsedTimer t;
    t.start();
    qint64 n = 0;
    while (t.elapsed() < kRunTime.count()) {
        for (int i = 0; i < 1000; ++i)
            for (const char b : mix)
                (void)model.feed(quint8(b));
        n += 1000 * mix.size();
    }
    report("model alone (feed)", n, t.nsecsElapsed());
}

// Lock-step over anything with write + a "data arrived" notification.
template <typename Write, typename Connect>
qint64 lockStep(Write write, Connect connectData, qint64* nsecs)
{
    qint64 n = 0;
    QEventLoop loop;
    QElapsedTimer t;
    connectData([&] {
        ++n;
        if (t.elapsed() >= kRunTime.count())
            loop.quit();
        else
            write();
    });
    t.start();
    write();
    QTimer::singleShot(kRunTime + 5s, &loop, &QEventLoop::quit); // a silent device
    loop.exec();
    *nsecs = t.nsecsElapsed();
    return n;
}

void benchVirtualPort(bool imitateLine)
{
    QmcModel model;
    model.setClock([] { return qint64(0); });
    Serial serial;
    SerialPortEntry e;
    e.name = QStringLiteral("bench");
    e.makeBackend = [&] { return std::make_unique<VirtualSerialBackend>(&model, imitateLine); };
    serial.setSerialPort(e);
    if (!serial.open())
        return;
    const QByteArray byte = QByteArray::fromHex("FB");
    qint64 nsecs = 0;
    const qint64 n =
        lockStep([&] { serial.write(byte); },
                 [&](auto f) {
                     QObject::connect(&serial, &Serial::dataAvailable, &serial, [&serial, f] {
                         if (!serial.readAll().isEmpty())
                             f();
                     });
                 },
                 &nsecs);
    report(imitateLine ? "virtual port, 9600 bit/s line" : "virtual port, at once", n, nsecs);
}

void benchTool(const QStringList& args, const char* name)
{
    QProcess p;
    p.start(QStringLiteral(QMC_EMULATOR_PATH), args + QStringList{"--exit-after-idle", "10"});
    if (!p.waitForStarted(10000) || !p.waitForReadyRead(10000)) {
        std::printf("%-44s could not start qmc-emulator\n", name);
        return;
    }
    const QString path = QString::fromLocal8Bit(p.readLine()).trimmed();
    QSerialPort port(path);
    port.setBaudRate(9600);
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("%-44s cannot open %s\n", name, qPrintable(path));
        return;
    }
    const QByteArray byte = QByteArray::fromHex("FB");
    qint64 nsecs = 0;
    const qint64 n = lockStep(
        [&] {
            port.write(byte);
            port.flush();
        },
        [&](auto f) {
            QObject::connect(&port, &QSerialPort::readyRead, &port, [&port, f] {
                for (qint64 k = port.readAll().size(); k > 0; --k)
                    f();
            });
        },
        &nsecs);
    report(name, n, nsecs);
    port.close();
    p.terminate();
    p.waitForFinished(5000);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    benchModel();
    benchVirtualPort(false);
    benchVirtualPort(true);
    benchTool({}, "qmc-emulator on a pty, undelayed");
    benchTool({QStringLiteral("--delay-us"), QStringLiteral("2083")},
              "qmc-emulator on a pty, --delay-us 2083");
    return 0;
}
