// program_transfer: how close "vantorctl program save" and "vantorctl program
// load --verify" come to the line's own pace. qmc-emulator answers each byte
// --delay-us after it arrives (2083 µs imitates a 9600 bit/s exchange).
//
// save: a program image of --size bytes is loaded into the emulator;
// vantorctl reads it back over the pseudo-terminal and the saved file is
// compared with the image. Wire time: the identification handshake (7
// exchanges), then (2 + size) addresses of four exchanges each (the size at
// 000E..000F, then the code), times the delay.
//
// load (--load): the emulator holds its demo program of 51 bytes; vantorctl
// backs it up (the size and 51 addresses of four exchanges), writes the image
// (six exchanges an address) and reads it back (four). Wire time: those
// exchanges and the handshake, times the delay.
//
// The last line printed is
//   program save: N bytes in S s, wire time W s, line-rate ratio R
// (or "program load --verify: ...") where R = W / S (1.00 would be the
// line's pace exactly). Before it, the same
// ratio for a blocking write-then-read loop on the raw descriptor over the
// same number of exchanges, capped at 4096: the floor this machine allows at
// the moment (a loaded machine wakes every process late). The emulator never
// abandons an exchange here: on a loaded machine a pause of 50 ms between two
// bytes would otherwise throw the read out of step and spoil the comparison.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Exchanges per address of an external-ROM read: code, address low and
// high, data.
constexpr int kExchangesPerAddress = 4;
// A ROM write: code, sub-code, address low and high, the data byte twice.
constexpr int kWriteExchangesPerAddress = 6;
constexpr int kProgramSizeAddr = 0x000E;
// The identification handshake every run begins with, and the emulator's
// demo program, which a load backs up first.
constexpr int kHandshake = 7;
constexpr int kDemoProgramSize = 51;

// The line-rate ratio of a blocking loop: one byte out, wait for its answer.
// Negative when the port cannot be used.
double RawLoopRatio(const QString& port, int exchanges, int delayUs)
{
    const int fd = ::open(port.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < exchanges; ++i) {
        // External-ROM reads of address 0000 on: F2, low, high, data.
        const int step = i % kExchangesPerAddress;
        const char out = step == 0 ? char(0xF2) : step == 1 ? char(i / 4) : char(0);
        char in = 0;
        if (::write(fd, &out, 1) != 1 || ::read(fd, &in, 1) != 1) {
            ::close(fd);
            return -1;
        }
    }
    ::close(fd);
    return double(exchanges) * delayUs / 1e6 / (double(clock.nsecsElapsed()) / 1e9);
}

int fail(const char* what)
{
    std::fprintf(stderr, "program_transfer: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("size"), QStringLiteral("Program size in bytes (default 4096)."),
         QStringLiteral("N"), QStringLiteral("4096")},
        {QStringLiteral("delay-us"), QStringLiteral("The emulator's answer delay (default 2083)."),
         QStringLiteral("US"), QStringLiteral("2083")},
        {QStringLiteral("load"),
         QStringLiteral("Time program load --verify of the image instead of program save.")},
    });
    parser.process(app);
    const int size = parser.value(QStringLiteral("size")).toInt();
    const bool load = parser.isSet(QStringLiteral("load"));
    const int delayUs = parser.value(QStringLiteral("delay-us")).toInt();
    if (size < 16 || size > 0xFFFF || delayUs < 0)
        return fail("--size must be 16-65535 and --delay-us at least 0");

    QTemporaryDir dir;
    if (!dir.isValid())
        return fail("no temporary folder");
    QByteArray image(size, 0);
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 131 + 7) & 0xFF);
    image[kProgramSizeAddr] = char(size & 0xFF);
    image[kProgramSizeAddr + 1] = char(size >> 8);
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    const QString savedPath = dir.filePath(QStringLiteral("saved.bin"));
    QFile imageFile(imagePath);
    if (!imageFile.open(QIODevice::WriteOnly) || imageFile.write(image) != size)
        return fail("cannot write the image");
    imageFile.close();

    QProcess emulator;
    emulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList emulatorArgs{QStringLiteral("--delay-us"), QString::number(delayUs),
                             QStringLiteral("--abandon-ms"), QStringLiteral("0"),
                             QStringLiteral("--exit-after-idle"), QStringLiteral("30")};
    if (!load)
        emulatorArgs << QStringLiteral("--program") << imagePath;
    emulator.start(QStringLiteral(QMC_EMULATOR_PATH), emulatorArgs);
    if (!emulator.waitForReadyRead(10000))
        return fail("the emulator did not start");
    const QString port = QString::fromLocal8Bit(emulator.readLine()).trimmed();

    const qint64 exchanges =
        kHandshake + (load ? qint64(2 + kDemoProgramSize) * kExchangesPerAddress +
                                 qint64(size) * (kWriteExchangesPerAddress + kExchangesPerAddress)
                           : qint64(2 + size) * kExchangesPerAddress);
    const double raw = RawLoopRatio(port, int(std::min<qint64>(exchanges, 4096)), delayUs);

    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The board's own program is backed up into a private data folder.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    cli.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    cli.start(QStringLiteral(VANTORCTL_PATH),
              load ? QStringList{QStringLiteral("--port"), port, QStringLiteral("program"),
                                 QStringLiteral("load"), imagePath, QStringLiteral("--verify")}
                   : QStringList{QStringLiteral("--port"), port, QStringLiteral("program"),
                                 QStringLiteral("save"), savedPath});
    if (!cli.waitForFinished(600000) || cli.exitCode() != 0)
        return fail(load ? "vantorctl program load failed" : "vantorctl program save failed");
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    emulator.terminate();
    emulator.waitForFinished(5000);

    if (!load) {
        QFile saved(savedPath);
        if (!saved.open(QIODevice::ReadOnly) || saved.readAll() != image)
            return fail("the saved program differs from the image");
    }

    const double wire = double(exchanges) * delayUs / 1e6;
    std::printf("exchanges: %lld at %d us each\n", static_cast<long long>(exchanges), delayUs);
    std::printf("raw loop line-rate ratio: %.2f\n", raw);
    std::printf("%s: %d bytes in %.2f s, wire time %.2f s, line-rate ratio %.2f\n",
                load ? "program load --verify" : "program save", size, seconds, wire,
                wire / seconds);
    return 0;
}
