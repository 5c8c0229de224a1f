#include "Commands.h"

#include "Output.h"
#include "SequenceCommands.h"
#include "Session.h"
#include "Sink.h"

#include "emulator/VirtualController.h"
#include "platform/TtyBackend.h"
#include "remote/IRRemModule.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>

namespace {

// Servo groups hold six channels each.
constexpr int kGroupSize = 6;

using Kind = Request::Kind;

qint32 Le16(const QByteArray& bytes, int at)
{
    if (bytes.size() < at + 2)
        return 0;
    return quint8(bytes.at(at)) | (quint8(bytes.at(at + 1)) << 8);
}

QString Hex2(int value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

// Reads a memory range through the scheduler, with progress on a terminal.
int ReadMemory(Session& s, const QString& title, Memory memory, qint32 address, qint32 length,
               QByteArray* out)
{
    Progress progress(title);
    const auto job = std::make_shared<ReadMemoryJob>(title, memory, address, length);
    const int code = s.run(job, &progress);
    *out = job->data();
    return code;
}

// Whether a port could be opened now, seen without disturbing a program that
// holds it: a port in use keeps its settings and its unread bytes.
QString PortState(const SerialPortEntry& port)
{
    // The built-in controller lives inside each run of whoever opens it.
    if (port.inputDriverName == QLatin1String(VirtualController::cDriverName))
        return QStringLiteral("free");
    switch (TtyBackend::probe(port.inputDriverName)) {
    case SerialError::None:
        return QStringLiteral("free");
    case SerialError::Busy:
        return QStringLiteral("in use");
    case SerialError::PermissionDenied:
        return QStringLiteral("no permission");
    case SerialError::NotFound:
    case SerialError::DeviceGone:
        return QStringLiteral("not found");
    case SerialError::NotSerialDevice:
        return QStringLiteral("not a serial device");
    case SerialError::Other:
        break;
    }
    return QStringLiteral("cannot be opened");
}

int Ports(const GlobalOptions& options)
{
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    QJsonArray list;
    QString text = QStringLiteral("NAME\tDEVICE\tDESCRIPTION\tUSB\tSTATE\n");
    for (const SerialPortEntry& port : SerialPorts::list()) {
        QJsonObject o;
        o[QStringLiteral("name")] = port.name;
        o[QStringLiteral("device")] = port.inputDriverName;
        QString usb;
        QString description;
        for (const QSerialPortInfo& info : system) {
            if (info.systemLocation() != port.inputDriverName)
                continue;
            description = info.description();
            if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
                usb = QStringLiteral("%1:%2")
                          .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                          .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
                o[QStringLiteral("manufacturer")] = info.manufacturer();
            }
        }
        if (port.inputDriverName == QLatin1String(VirtualController::cDriverName))
            description = QStringLiteral("the built-in virtual controller (--port virtual)");
        o[QStringLiteral("description")] = description;
        o[QStringLiteral("usb")] = usb;
        o[QStringLiteral("state")] = PortState(port);
        list.append(o);
        text += QStringLiteral("%1\t%2\t%3\t%4\t%5\n")
                    .arg(port.name, port.inputDriverName, description.isEmpty() ? "-" : description,
                         usb.isEmpty() ? "-" : usb, o[QStringLiteral("state")].toString());
    }
    if (options.json)
        PrintJson({{QStringLiteral("ports"), list}});
    else
        PrintText(text);
    return kExitOk;
}

int Info(Session& s, const GlobalOptions& options)
{
    const auto job = std::make_shared<IdentifyJob>(IdentifyJob::Depth::Full);
    const int code = s.run(job);
    if (code != kExitOk)
        return code;
    const qint32 checksum = Le16(job->checksum(), 0);
    const qint32 size = ProgramImage::sizeField(job->header());
    if (options.json) {
        PrintJson({{QStringLiteral("controller"), QString::fromLatin1(job->name())},
                   {QStringLiteral("controllerBytes"), JsonBytes(job->name())},
                   {QStringLiteral("checksum"), checksum},
                   {QStringLiteral("programSize"), size},
                   {QStringLiteral("programHeader"), JsonBytes(job->header())}});
        return kExitOk;
    }
    PrintText(QStringLiteral("controller:     %1 (%2)\n")
                  .arg(QString::fromLatin1(job->name()), SpacedHex(job->name())) +
              QStringLiteral("checksum:       0x%1 (static RAM 04F2..04F3)\n")
                  .arg(QStringLiteral("%1").arg(checksum, 4, 16, QLatin1Char('0')).toUpper()) +
              QStringLiteral("program size:   %1 bytes\n").arg(size) +
              QStringLiteral("program header:\n") + HexDump(0, job->header()));
    return kExitOk;
}

int Read(Session& s, const GlobalOptions& options, const Request& q, Sink& sink)
{
    QByteArray data;
    const int code = ReadMemory(s, q.title, q.memory, q.address, q.length, &data);
    if (code != kExitOk)
        return code;
    QJsonObject json{{QStringLiteral("memory"), MemoryName(q.memory)},
                     {QStringLiteral("address"), q.address},
                     {QStringLiteral("length"), q.length}};
    if (sink.raw()) {
        if (!sink.finish(data))
            return kExitFault;
        // The bytes went to the file; the object says where.
        if (options.json) {
            json[QStringLiteral("file")] = q.outputPath;
            PrintJson(json);
        }
        return kExitOk;
    }
    if (options.json) {
        json[QStringLiteral("data")] = JsonBytes(data);
        PrintJson(json);
    } else {
        PrintText(HexDump(q.address, data));
    }
    return kExitOk;
}

int Write(Session& s, const GlobalOptions& options, const Request& q)
{
    const qint32 size = qint32(q.data.size());
    Progress progress(q.title);
    int code =
        s.run(std::make_shared<WriteMemoryJob>(q.title, q.memory, q.address, q.data), &progress);
    const QJsonObject written{{QStringLiteral("memory"), MemoryName(q.memory)},
                              {QStringLiteral("address"), q.address},
                              {QStringLiteral("length"), size}};
    if (code != kExitOk)
        return code;
    if (!q.verify) {
        if (options.json)
            PrintJson(written);
        return kExitOk;
    }

    QByteArray back;
    code = ReadMemory(s, q.title + QStringLiteral(" --verify"), q.memory, q.address, size, &back);
    if (code != kExitOk)
        return code;
    for (qint32 i = 0; i < size; ++i) {
        if (i >= back.size() || back.at(i) != q.data.at(i)) {
            std::fprintf(stderr,
                         "vantorctl: %s: verify failed: first difference at %s %04X: wrote %s, "
                         "read %s\n",
                         qPrintable(q.title), qPrintable(MemoryName(q.memory)), q.address + i,
                         qPrintable(Hex2(quint8(q.data.at(i)))),
                         i < back.size() ? qPrintable(Hex2(quint8(back.at(i)))) : "nothing");
            return kExitFault;
        }
    }
    if (options.json) {
        QJsonObject verified = written;
        verified[QStringLiteral("verified")] = true;
        PrintJson(verified);
    }
    return kExitOk;
}

int ProgramSize(Session& s, const GlobalOptions& options)
{
    QByteArray bytes;
    const int code = ReadMemory(s, QStringLiteral("program size"), Memory::ExtRom,
                                ProgramImage::cSizeAddress, 2, &bytes);
    if (code != kExitOk)
        return code;
    const qint32 size = Le16(bytes, 0);
    if (options.json)
        PrintJson({{QStringLiteral("programSize"), size}});
    else
        PrintText(QStringLiteral("%1\n").arg(size));
    // Printed as read, but a size that cannot be a program's is no answer.
    if (const ProgramImage::Problem problem = ProgramImage::checkSize(size)) {
        std::fprintf(stderr, "vantorctl: program size: not a program: %s\n",
                     qPrintable(ProgramImage::describe(problem)));
        return kExitFault;
    }
    return kExitOk;
}

int ProgramSave(Session& s, const GlobalOptions& options, Sink& sink)
{
    // The read-out: the size first, then the code from 0000 up to size - 1.
    // A size no program can have (an erased ROM) is refused before minutes
    // of reading.
    Progress progress(QStringLiteral("program save"));
    const auto job = std::make_shared<ProgramBackupJob>();
    const int code = s.run(job, &progress);
    if (code != kExitOk)
        return code;
    if (!sink.finish(job->program()))
        return kExitFault;
    if (options.json)
        PrintJson(
            {{QStringLiteral("programSize"), job->size()}, {QStringLiteral("file"), sink.path()}});
    return kExitOk;
}

// Puts the image on the board: the board's own program is saved first, in the
// data folder; with --verify the image is read back.
int ProgramLoad(Session& s, const GlobalOptions& options, const Request& q)
{
    Progress progress(q.title);
    const auto job = std::make_shared<ProgramRestoreJob>(q.data, ProgramBackupFolder(), q.verify);
    job->setTitle(q.title);
    const int code = s.run(job, &progress);
    const QString backup = QDir::toNativeSeparators(job->backupPath());
    if (code != kExitOk) {
        // Half a program is worse than none: say so, and where the old one is.
        if (job->phase() == ProgramRestoreJob::Phase::Writing)
            std::fprintf(stderr,
                         "vantorctl: %s: the board now holds part of '%s': the first %d of its "
                         "%lld bytes\n",
                         qPrintable(q.title), qPrintable(q.inputPath), job->written(),
                         static_cast<long long>(q.data.size()));
        if (!backup.isEmpty())
            std::fprintf(stderr, "vantorctl: %s: the board's own program was saved to %s\n",
                         qPrintable(q.title), qPrintable(backup));
        return code;
    }
    if (options.json)
        PrintJson({{QStringLiteral("backup"), backup},
                   {QStringLiteral("written"), job->written()},
                   {QStringLiteral("verified"), q.verify}});
    else
        PrintText(QStringLiteral("the board's own program was saved to %1\n%2 bytes written%3\n")
                      .arg(backup)
                      .arg(job->written())
                      .arg(q.verify ? QStringLiteral(" and verified") : QString()));
    return kExitOk;
}

// Compares the board's program with the image, writing nothing.
int ProgramVerify(Session& s, const GlobalOptions& options, const Request& q)
{
    Progress progress(q.title);
    const auto job = std::make_shared<ProgramVerifyJob>(q.data);
    job->setTitle(q.title);
    const int code = s.run(job, &progress);
    if (code != kExitOk)
        return code;
    const qint32 at = job->firstDifference();
    if (options.json)
        PrintJson({{QStringLiteral("same"), at < 0},
                   {QStringLiteral("size"), qint32(q.data.size())},
                   {QStringLiteral("firstDifference"), at < 0 ? QJsonValue() : QJsonValue(at)}});
    else if (at < 0)
        PrintText(QStringLiteral("the board holds '%1' (%2 bytes)\n")
                      .arg(q.inputPath)
                      .arg(q.data.size()));
    if (at < 0)
        return kExitOk;
    std::fprintf(stderr,
                 "vantorctl: %s: first difference at extrom %04X: '%s' has %s, the board %s\n",
                 qPrintable(q.title), at, qPrintable(q.inputPath),
                 qPrintable(Hex2(job->expected())), qPrintable(Hex2(job->found())));
    return kExitFault;
}

// Reads the groups again and again, a line per refresh, until Ctrl-C or a
// fault.
int ServoWatch(Session& s, const GlobalOptions& options, const Request& q)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 started = clock.elapsed();
        const auto job = std::make_shared<ServoRefreshJob>(q.groups);
        job->setTitle(q.title);
        const int code = s.run(job);
        if (code != kExitOk)
            return code;
        const qint64 ms = clock.elapsed();
        if (options.json) {
            QJsonArray groups;
            for (int g : q.groups) {
                QJsonArray positions;
                for (int i = 1; i <= kGroupSize; ++i)
                    positions.append(job->position((g - 1) * kGroupSize + i));
                groups.append(QJsonObject{{QStringLiteral("group"), g},
                                          {QStringLiteral("positions"), positions}});
            }
            PrintJson({{QStringLiteral("timeMs"), ms}, {QStringLiteral("groups"), groups}});
        } else {
            QString line =
                QStringLiteral("%1.%2s").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
            for (int g : q.groups) {
                for (int i = 1; i <= kGroupSize; ++i) {
                    const int channel = (g - 1) * kGroupSize + i;
                    line += QStringLiteral(" %1:%2").arg(channel).arg(job->position(channel));
                }
            }
            PrintText(line + QLatin1Char('\n'));
        }
        std::fflush(stdout);
        // The next refresh no sooner than the interval after this one began.
        const qint64 wait = q.intervalMs - (clock.elapsed() - started);
        if (wait > 0) {
            QEventLoop loop;
            QTimer::singleShot(wait, &loop, &QEventLoop::quit);
            if (Session::interruptNotifier())
                QObject::connect(Session::interruptNotifier(), &QSocketNotifier::activated, &loop,
                                 &QEventLoop::quit);
            loop.exec();
        }
        if (Session::interrupted()) {
            std::fprintf(stderr, "\nvantorctl: %s: interrupted\n", qPrintable(q.title));
            return kExitInterrupted;
        }
    }
}

// What a command that only acts sent and got back, for --json.
void PrintTraffic(const Session& s)
{
    PrintJson({{QStringLiteral("sent"), JsonBytes(s.trace().sent)},
               {QStringLiteral("received"), JsonBytes(s.trace().received)}});
}

// The single-byte run-control commands: the controller must echo the byte.
int RunControl(Session& s, const GlobalOptions& options, const Request& q)
{
    const char* names[] = {"RUN", "STOP", "BREAK", "RESET"};
    const char* name = q.kind == Kind::Run     ? names[0]
                       : q.kind == Kind::Stop  ? names[1]
                       : q.kind == Kind::Break ? names[2]
                                               : names[3];
    const auto job = std::make_shared<ExchangeJob>(q.title, [name](ControllerLink& l) {
        l.RbCmdSend(name, QByteArray());
        return true;
    });
    const int code = s.run(job);
    if (code != kExitOk)
        return code;
    if (job->echoMismatch()) {
        std::fprintf(stderr, "vantorctl: %s: wrong echo: sent %s, the controller answered %s\n",
                     qPrintable(q.title), s.link().mMcpEcho.toHex().toUpper().constData(),
                     s.trace().lastReceived.toHex().toUpper().constData());
        return kExitFault;
    }
    if (options.json)
        PrintTraffic(s);
    return kExitOk;
}

// A byte stream: every reply, one per byte sent.
int Stream(Session& s, const Request& q, const QByteArray& bytes, QByteArray* replies)
{
    const auto job = std::make_shared<ExchangeJob>(q.title, [&bytes](ControllerLink& l) {
        l.Cmd_Excute(bytes, false);
        return true;
    });
    const int code = s.run(job);
    *replies = job->readData();
    return code;
}

int Direct(Session& s, const GlobalOptions& options, const Request& q)
{
    QByteArray r;
    const auto run = [&](const ExchangeJob::Start& start) {
        const auto job = std::make_shared<ExchangeJob>(q.title, start);
        const int code = s.run(job);
        r = job->readData();
        return code;
    };
    // A command that only acts: with --json, what went out and came back.
    const auto act = [&](const ExchangeJob::Start& start) {
        const int code = run(start);
        if (code == kExitOk && options.json)
            PrintTraffic(s);
        return code;
    };
    int code = kExitOk;
    switch (q.kind) {
    case Kind::ServoGet:
        code = run([&](ControllerLink& l) { return l.Cmd_SERVO_POS_GET(q.channel); });
        if (code == kExitOk) {
            const int position = r.size() >= 2 ? quint8(r.at(1)) : 0;
            if (options.json)
                PrintJson({{QStringLiteral("channel"), q.channel},
                           {QStringLiteral("position"), position}});
            else
                PrintText(QStringLiteral("%1\n").arg(position));
        }
        return code;
    case Kind::ServoGroup: {
        code = run([&](ControllerLink& l) { return l.Cmd_SERVO_POS_GET_GROUP(q.channel); });
        if (code != kExitOk)
            return code;
        QJsonArray positions;
        QString text;
        for (int i = 0; i < kGroupSize; ++i) {
            const int position = i + 1 < r.size() ? quint8(r.at(i + 1)) : 0;
            const int channel = (q.channel - 1) * kGroupSize + i + 1;
            positions.append(position);
            text += QStringLiteral("%1 %2\n").arg(channel).arg(position);
        }
        if (options.json)
            PrintJson(
                {{QStringLiteral("group"), q.channel}, {QStringLiteral("positions"), positions}});
        else
            PrintText(text);
        return kExitOk;
    }
    case Kind::ServoSet:
        return act([&](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(q.channel, q.position); });
    case Kind::ServoSetMany:
        return act([&](ControllerLink& l) {
            return l.Cmd_SERVO_POS_SET(q.channel, q.count, q.positions);
        });
    case Kind::ServoOn:
    case Kind::ServoOff:
        return act(
            [&](ControllerLink& l) { return l.Cmd_SERVO_SET(q.channel, q.kind == Kind::ServoOn); });
    case Kind::Speed:
        return act([&](ControllerLink& l) { return l.Cmd_SPEED(q.channel); });
    case Kind::SpeedV:
        return act([&](ControllerLink& l) { return l.Cmd_SPEED_V(q.channel); });
    case Kind::Ptp:
        return act([&](ControllerLink& l) { return l.Cmd_PTP_SET(q.on); });
    case Kind::Moving:
        code = run([](ControllerLink& l) { return l.Cmd_IsMOVING(); });
        if (code == kExitOk) {
            const bool moving = r.size() >= 2 && r.at(1) != 0;
            if (options.json)
                PrintJson({{QStringLiteral("moving"), moving}});
            else
                PrintText(moving ? QStringLiteral("moving\n") : QStringLiteral("still\n"));
        }
        return code;
    default:
        return kExitUsage;
    }
}

int Send(Session& s, const GlobalOptions& options, const Request& q, const QByteArray& bytes)
{
    QByteArray replies;
    const int code = Stream(s, q, bytes, &replies);
    if (code != kExitOk)
        return code;
    if (options.json) {
        PrintJson({{QStringLiteral("sent"), JsonBytes(bytes)},
                   {QStringLiteral("received"), JsonBytes(replies)}});
    } else if (q.kind == Kind::Send) {
        QString text;
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            const QString reply = i < replies.size() ? Hex2(quint8(replies.at(i))) : "--";
            text += Hex2(quint8(bytes.at(i))) + QStringLiteral(" -> ") + reply + QLatin1Char('\n');
        }
        PrintText(text);
    }
    return kExitOk;
}

} // namespace

int RunRequest(const GlobalOptions& options, const Request& q)
{
    if (q.kind == Kind::Ports)
        return Ports(options);
    // play reads its file before any port is opened, and --dry-run needs none.
    if (q.kind == Kind::Play)
        return PlaySequence(options, q);

    // An output file that cannot be written fails before anything is sent.
    Sink sink(q.outputPath);
    if (!sink.prepare())
        return kExitUsage;
    // Ctrl-C is caught from here on, to close the port cleanly. Until now (an
    // output FIFO waiting for its reader) it simply ends the run.
    Session::catchInterrupt();

    // Every command but the raw `send` first makes sure a controller answers.
    Session s(options);
    const int opened = s.open(q.title, q.kind != Kind::Send);
    if (opened != kExitOk)
        return opened;

    switch (q.kind) {
    case Kind::Info:
        return Info(s, options);
    case Kind::Read:
        return Read(s, options, q, sink);
    case Kind::Write:
        return Write(s, options, q);
    case Kind::ProgramSize:
        return ProgramSize(s, options);
    case Kind::ProgramSave:
        return ProgramSave(s, options, sink);
    case Kind::ProgramLoad:
        return ProgramLoad(s, options, q);
    case Kind::ProgramVerify:
        return ProgramVerify(s, options, q);
    case Kind::ServoWatch:
        return ServoWatch(s, options, q);
    case Kind::Run:
    case Kind::Stop:
    case Kind::Break:
    case Kind::Reset:
        return RunControl(s, options, q);
    case Kind::Key:
        // The key's bytes exactly as a click on the remote makes them.
        return Send(s, options, q,
                    RemoconClickBytes(cRemTypeCommunication, q.position, q.count, q.channel));
    case Kind::Send:
        return Send(s, options, q, q.data);
    case Kind::Pose:
        return ReadPose(s, options, q);
    default:
        return Direct(s, options, q);
    }
}
