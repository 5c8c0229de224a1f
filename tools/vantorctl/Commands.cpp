#include "Commands.h"

#include "Output.h"
#include "Session.h"
#include "Sink.h"

#include "emulator/VirtualController.h"
#include "platform/QSerialPortBackend.h"
#include "remote/IRRemModule.h"

#include <QJsonArray>
#include <QSerialPortInfo>

#include <cstdio>

namespace {

// Servo groups hold six channels each.
constexpr int kGroupSize = 6;
// External ROM: the program size at 000E..000F (low byte first), the code
// from 0000.
constexpr qint32 kProgramSizeAddr = 0x000E;

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

bool StartRead(ControllerLink& l, Memory memory, qint32 address, qint32 length)
{
    switch (memory) {
    case Memory::Sram:
        return l.Cmd_SRAM_READ(address, length);
    case Memory::IntRom:
        return l.Cmd_INTROM_READ(address, length);
    case Memory::ExtRom:
        return l.Cmd_EXTROM_READ(address, length);
    }
    return false;
}

bool StartWrite(ControllerLink& l, Memory memory, qint32 address, const QByteArray& data)
{
    switch (memory) {
    case Memory::Sram:
        return l.Cmd_SRAM_WRITE(address, data);
    case Memory::IntRom:
        return l.Cmd_INTROM_WRITE(address, data);
    case Memory::ExtRom:
        return l.Cmd_EXTROM_WRITE(address, data);
    }
    return false;
}

// A memory exchange with progress: done is counted from the link's state.
int MemoryExchange(Session& s, const QString& title, qint64 total,
                   const std::function<bool(ControllerLink&)>& start,
                   const std::function<qint64(const ControllerLink&)>& done)
{
    Progress progress(title, total);
    s.view().onProgress = [&] { progress.update(done(s.link())); };
    const int code = s.exchange(title, start);
    s.view().onProgress = nullptr;
    return code;
}

int ReadMemory(Session& s, const QString& title, Memory memory, qint32 address, qint32 length,
               QByteArray* out)
{
    const int code = MemoryExchange(
        s, title, length, [&](ControllerLink& l) { return StartRead(l, memory, address, length); },
        [](const ControllerLink& l) { return l.mReadData.size(); });
    *out = s.link().mReadData;
    return code;
}

// Whether a port could be opened now, seen without disturbing a program that
// holds it: a port in use keeps its settings and its unread bytes.
QString PortState(const SerialPortEntry& port)
{
    // The built-in controller lives inside each run of whoever opens it.
    if (port.inputDriverName == QLatin1String(VirtualController::cDriverName))
        return QStringLiteral("free");
    switch (QSerialPortBackend::probe(port.inputDriverName)) {
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
    const int code = s.exchange(QStringLiteral("info"), [](ControllerLink& l) {
        l.RbCmdSend("CONTROLER_INFORMATION", QByteArray());
        return true;
    });
    if (code != kExitOk)
        return code;
    const ControllerLink& l = s.link();
    const qint32 checksum = Le16(l.mInfoChecksum, 0);
    const qint32 size = Le16(l.mInfoProg, kProgramSizeAddr);
    if (options.json) {
        PrintJson({{QStringLiteral("controller"), QString::fromLatin1(l.mInfoCtrlr)},
                   {QStringLiteral("controllerHex"), QString::fromLatin1(l.mInfoCtrlr.toHex())},
                   {QStringLiteral("checksum"), checksum},
                   {QStringLiteral("programSize"), size},
                   {QStringLiteral("programHeader"), QString::fromLatin1(l.mInfoProg.toHex())}});
        return kExitOk;
    }
    PrintText(QStringLiteral("controller:     %1 (%2)\n")
                  .arg(QString::fromLatin1(l.mInfoCtrlr), SpacedHex(l.mInfoCtrlr)) +
              QStringLiteral("checksum:       0x%1 (static RAM 04F2..04F3)\n")
                  .arg(QStringLiteral("%1").arg(checksum, 4, 16, QLatin1Char('0')).toUpper()) +
              QStringLiteral("program size:   %1 bytes\n").arg(size) +
              QStringLiteral("program header:\n") + HexDump(0, l.mInfoProg));
    return kExitOk;
}

int Read(Session& s, const GlobalOptions& options, const Request& q, Sink& sink)
{
    QByteArray data;
    const int code = ReadMemory(s, q.title, q.memory, q.address, q.length, &data);
    if (code != kExitOk)
        return code;
    if (sink.raw())
        return sink.finish(data) ? kExitOk : kExitFault;
    if (options.json)
        PrintJson({{QStringLiteral("memory"), MemoryName(q.memory)},
                   {QStringLiteral("address"), q.address},
                   {QStringLiteral("data"), QString::fromLatin1(data.toHex())}});
    else
        PrintText(HexDump(q.address, data));
    return kExitOk;
}

int Write(Session& s, const GlobalOptions& options, const Request& q)
{
    const qint32 size = qint32(q.data.size());
    int code = MemoryExchange(
        s, q.title, size,
        [&](ControllerLink& l) { return StartWrite(l, q.memory, q.address, q.data); },
        [&](const ControllerLink& l) { return l.mMcpAddr - q.address; });
    if (code != kExitOk || !q.verify)
        return code;

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
    if (options.json)
        PrintJson({{QStringLiteral("verified"), size}});
    return kExitOk;
}

int ProgramSize(Session& s, qint32* size)
{
    QByteArray bytes;
    const int code =
        ReadMemory(s, QStringLiteral("program size"), Memory::ExtRom, kProgramSizeAddr, 2, &bytes);
    *size = Le16(bytes, 0);
    return code;
}

int ProgramSave(Session& s, const GlobalOptions& options, Sink& sink)
{
    // The read-out: the size first, then the code from 0000 up to size - 1,
    // each through the link's own read-out operations.
    qint32 size = 0;
    int code = MemoryExchange(
        s, QStringLiteral("program size"), 2,
        [](ControllerLink& l) {
            l.Get_PROGRAM_SIZE();
            return true;
        },
        [](const ControllerLink& l) { return l.mReadData.size(); });
    if (code != kExitOk)
        return code;
    size = Le16(s.link().mReadData, 0);
    QByteArray program;
    if (size > 0) {
        code = MemoryExchange(
            s, QStringLiteral("program save"), size,
            [size](ControllerLink& l) {
                l.Get_PROGRAM_CODE(size);
                return true;
            },
            [](const ControllerLink& l) { return l.mReadData.size(); });
        if (code != kExitOk)
            return code;
        program = s.link().mReadData;
    }
    if (!sink.finish(program))
        return kExitFault;
    if (options.json)
        PrintJson({{QStringLiteral("programSize"), size}});
    return kExitOk;
}

// The single-byte run-control commands: the controller must echo the byte.
int RunControl(Session& s, const Request& q)
{
    const char* names[] = {"RUN", "STOP", "BREAK", "RESET"};
    const char* name = q.kind == Kind::Run     ? names[0]
                       : q.kind == Kind::Stop  ? names[1]
                       : q.kind == Kind::Break ? names[2]
                                               : names[3];
    const int beepsBefore = s.view().beeps;
    const int code = s.exchange(q.title, [name](ControllerLink& l) {
        l.RbCmdSend(name, QByteArray());
        return true;
    });
    if (code != kExitOk)
        return code;
    if (s.view().beeps != beepsBefore) {
        std::fprintf(stderr, "vantorctl: %s: wrong echo: sent %s, the controller answered %s\n",
                     qPrintable(q.title), s.link().mMcpEcho.toHex().toUpper().constData(),
                     s.trace().lastReceived.toHex().toUpper().constData());
        return kExitFault;
    }
    return kExitOk;
}

// A byte stream: every reply, one per byte sent.
int Stream(Session& s, const Request& q, const QByteArray& bytes, QByteArray* replies)
{
    const int code = s.exchange(q.title, [&bytes](ControllerLink& l) {
        l.Cmd_Excute(bytes, false);
        return true;
    });
    *replies = s.link().mReadData;
    return code;
}

int Direct(Session& s, const GlobalOptions& options, const Request& q)
{
    const auto run = [&](const std::function<bool(ControllerLink&)>& start) {
        return s.exchange(q.title, start);
    };
    const QByteArray& r = s.link().mReadData;
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
        return run([&](ControllerLink& l) { return l.Cmd_SERVO_POS_SET(q.channel, q.position); });
    case Kind::ServoSetMany:
        return run([&](ControllerLink& l) {
            return l.Cmd_SERVO_POS_SET(q.channel, q.count, q.positions);
        });
    case Kind::ServoOn:
    case Kind::ServoOff:
        return run(
            [&](ControllerLink& l) { return l.Cmd_SERVO_SET(q.channel, q.kind == Kind::ServoOn); });
    case Kind::Speed:
        return run([&](ControllerLink& l) { return l.Cmd_SPEED(q.channel); });
    case Kind::SpeedV:
        return run([&](ControllerLink& l) { return l.Cmd_SPEED_V(q.channel); });
    case Kind::Ptp:
        return run([&](ControllerLink& l) { return l.Cmd_PTP_SET(q.on); });
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
        PrintJson({{QStringLiteral("sent"), QString::fromLatin1(bytes.toHex())},
                   {QStringLiteral("replies"), QString::fromLatin1(replies.toHex())}});
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

    // An output file that cannot be written fails before anything is sent.
    Sink sink(q.outputPath);
    if (!sink.prepare())
        return kExitUsage;
    // Ctrl-C is caught from here on, to close the port cleanly. Until now (an
    // output FIFO waiting for its reader) it simply ends the run.
    Session::catchInterrupt();

    Session s(options);
    const int opened = s.open(q.title);
    if (opened != kExitOk)
        return opened;

    switch (q.kind) {
    case Kind::Info:
        return Info(s, options);
    case Kind::Read:
        return Read(s, options, q, sink);
    case Kind::Write:
        return Write(s, options, q);
    case Kind::ProgramSize: {
        qint32 size = 0;
        const int code = ProgramSize(s, &size);
        if (code == kExitOk) {
            if (options.json)
                PrintJson({{QStringLiteral("programSize"), size}});
            else
                PrintText(QStringLiteral("%1\n").arg(size));
        }
        return code;
    }
    case Kind::ProgramSave:
        return ProgramSave(s, options, sink);
    case Kind::Run:
    case Kind::Stop:
    case Kind::Break:
    case Kind::Reset:
        return RunControl(s, q);
    case Kind::Key:
        // The key's bytes exactly as a click on the remote makes them.
        return Send(s, options, q,
                    RemoconClickBytes(cRemTypeCommunication, q.position, q.count, q.channel));
    case Kind::Send:
        return Send(s, options, q, q.data);
    default:
        return Direct(s, options, q);
    }
}
