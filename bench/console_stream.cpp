// console_stream: how the controller console behaves while it streams servo positions from
// qmc-emulator imitating the 9600 bit/s line on a pseudo-terminal, offscreen.
//
// Three phases of --seconds each:
//  1. the servo pane polling alone: full refreshes per second (8 group reads of 7 exchanges and
//     the moving flag), and the longest stall of the event loop, seen by a 1 ms repeating timer;
//  2. the traffic pane on screen: every byte logged and shown;
//  3. the servo pane with a remote key click (gTw->Cmd_Excute, as the remote sends one) every
//     --click-ms: from the call to the key byte going out (the controller may be in the middle
//     of a group read, which the key waits for: at most one command of the controller), and to
//     its arrival at the emulator (the emulator's trace line "rx 05", read as it comes). A key
//     exchange that fails is counted.
// The last line is the ratio of phase 1's refresh rate to the line's: 8 group reads are 56
// exchanges, 116.7 ms at 2083 us each.
#include "app/Module1.h"
#include "console/ConsoleWindow.h"
#include "console/ServoPanel.h"
#include "console/TrafficPanel.h"
#include "link/ControllerLink.h"
#include "link/TransSepaWindow.h"
#include "platform/SerialPorts.h"
#include "settings/PreferClass.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

// Runs the event loop for `ms` milliseconds, watching its longest stall.
struct LoopWatch
{
    qint64 longestGapUs = 0;
    qint64 ticks = 0;

    void run(int ms)
    {
        QElapsedTimer clock;
        clock.start();
        qint64 last = clock.nsecsElapsed();
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(1);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longestGapUs = std::max(longestGapUs, (now - last) / 1000);
            last = now;
            ++ticks;
        });
        tick.start();
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
};

double Median(QList<double> v)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

double Worst(const QList<double>& v)
{
    return v.isEmpty() ? 0 : *std::max_element(v.begin(), v.end());
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never the user's own preferences or data.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "The console streaming servo positions from qmc-emulator on a pseudo-terminal.");
    parser.addHelpOption();
    parser.addOption({"seconds", "Length of each phase.", "s", "5"});
    parser.addOption(
        {"click-ms", "A remote key click every this many ms in phase 2.", "ms", "250"});
    parser.addOption({"delay-us", "The emulator's answer delay (one exchange).", "us", "2083"});
    parser.process(app);
    const int seconds = std::max(parser.value("seconds").toInt(), 1);
    const int clickMs = std::max(parser.value("click-ms").toInt(), 20);
    const int delayUs = std::max(parser.value("delay-us").toInt(), 0);

    QProcess emulator;
    emulator.start(QStringLiteral(QMC_EMULATOR_PATH),
                   {"--delay-us", QString::number(delayUs), "--trace", "--exit-after-idle", "30"});
    if (!emulator.waitForStarted(10000) || !emulator.waitForReadyRead(10000)) {
        std::fprintf(stderr, "console_stream: qmc-emulator did not start\n");
        return 1;
    }
    const QString pty = QString::fromLocal8Bit(emulator.readLine()).trimmed();

    SerialPorts::setOverride({SerialPorts::deviceEntry(QStringLiteral("qmc"), pty)});
    gPref = new PreferClass(QStringLiteral("VantorController IR"), home.path());
    gPref->mPortInfo = SerialPortInfo();
    gPref->mPortInfo->mName = QStringLiteral("qmc");
    auto* controller = new TransSepaWindow;
    ControllerLink* link = controller->link();

    // The key's arrival at the emulator: its trace line, read as it comes. During polling only
    // D4..DB, 00 and B0 go out, so "rx 05" is the key.
    QElapsedTimer clock;
    clock.start();
    qint64 clickAt = -1;
    QList<double> arrivals;
    QByteArray trace;
    QObject::connect(&emulator, &QProcess::readyReadStandardError, [&] {
        trace += emulator.readAllStandardError();
        qsizetype end;
        while ((end = trace.indexOf('\n')) >= 0) {
            const QByteArray line = trace.left(end);
            trace.remove(0, end + 1);
            if (clickAt >= 0 && line.startsWith("rx 05")) {
                arrivals << double(clock.nsecsElapsed() - clickAt) / 1e6;
                clickAt = -1;
            }
        }
    });

    ConsoleWindow console;
    console.show();
    ServoPanel* servos = console.servoPanel();
    {
        QEventLoop wait;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (servos->refreshCount() >= 2)
                wait.quit();
        });
        poll.start(10);
        QTimer::singleShot(20000, &wait, &QEventLoop::quit);
        wait.exec();
    }
    if (servos->refreshCount() < 2) {
        std::fprintf(stderr, "console_stream: the console did not poll (%s)\n",
                     qPrintable(console.statusLabel()->text()));
        return 1;
    }

    const double exchangeMs = delayUs / 1000.0;
    const double lineRefreshMs = 56 * exchangeMs;
    std::printf("line: qmc-emulator --delay-us %d on %s: one exchange %.2f ms, a full refresh "
                "(8 group reads, 56 exchanges) %.1f ms, with the moving flag 58 exchanges\n",
                delayUs, qPrintable(pty), exchangeMs, lineRefreshMs);

    // Phase 1: polling alone.
    int before = servos->refreshCount();
    LoopWatch quiet;
    quiet.run(seconds * 1000);
    const double rate = double(servos->refreshCount() - before) / seconds;
    std::printf("servo pane, %d s: %.2f full refreshes/s (%.1f ms each); event loop longest stall "
                "%.1f ms over %lld ticks of a 1 ms timer\n",
                seconds, rate, rate > 0 ? 1000.0 / rate : 0.0, quiet.longestGapUs / 1000.0,
                quiet.ticks);

    // Phase 2: the traffic pane on screen.
    console.tabs()->setCurrentWidget(console.trafficPanel());
    before = servos->refreshCount();
    LoopWatch logging;
    logging.run(seconds * 1000);
    const double logRate = double(servos->refreshCount() - before) / seconds;
    std::printf("traffic pane, every byte logged: %.2f full refreshes/s; event loop longest stall "
                "%.1f ms\n",
                logRate, logging.longestGapUs / 1000.0);

    console.tabs()->setCurrentWidget(servos);

    // Phase 3: remote key clicks during polling.
    quint64 keySerial = 0;
    QList<double> written;
    int keyFailures = 0;
    QObject::connect(link, &ControllerLink::exchangeFailed, [&] {
        if (keySerial && link->exchangeSerial() == keySerial) {
            ++keyFailures;
            keySerial = 0;
        }
    });
    QTimer clicks;
    clicks.setInterval(clickMs);
    bool keyWaiting = false;
    QObject::connect(link, &ControllerLink::streamStarted, [&] {
        if (!keyWaiting || link->mWriteData.size() != 0)
            return; // a poll's stream, not the key's one byte
        keyWaiting = false;
        written << double(clock.nsecsElapsed() - clickAt) / 1e6;
        keySerial = link->exchangeSerial();
    });
    QObject::connect(&clicks, &QTimer::timeout, [&] {
        clickAt = clock.nsecsElapsed();
        keyWaiting = true;
        controller->Cmd_Excute(QByteArray(1, '\x05'), true); // ID=1, key 5, as the remote sends
    });
    before = servos->refreshCount();
    int pollFailures = 0;
    QObject::connect(servos, &ServoPanel::pollFailed, [&] { ++pollFailures; });
    clicks.start();
    LoopWatch clicking;
    clicking.run(seconds * 1000);
    clicks.stop();
    const double clickRate = double(servos->refreshCount() - before) / seconds;
    std::printf("with a key click every %d ms: %.2f full refreshes/s; event loop longest stall "
                "%.1f ms; %d polls failed and waited %d ms to retry\n",
                clickMs, clickRate, clicking.longestGapUs / 1000.0, pollFailures,
                ServoPanel::cRetryMs);
    std::printf("key clicks: %lld, the key's byte out after: median %.2f ms, "
                "worst %.2f ms; %lld reached the emulator, its trace line seen here after median "
                "%.2f ms, worst %.2f ms (one exchange %.2f ms; this includes the benchmark's own "
                "wait to read the trace); %d key exchanges failed\n",
                qlonglong(written.size()), Median(written), Worst(written),
                qlonglong(arrivals.size()), Median(arrivals), Worst(arrivals), exchangeMs,
                keyFailures);

    console.close();
    delete controller;
    delete gPref;
    emulator.terminate();
    emulator.waitForFinished(5000);
    std::printf("refresh/line-rate ratio: %.2f\n", rate * lineRefreshMs / 1000.0);
    return 0;
}
