#include "Arguments.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

namespace {

// Controller addresses are 16-bit: a range may end at 0xFFFF, so
// address + length may reach 0x10000.
constexpr qint64 kAddressEnd = 0x10000;
// Servos: eight groups of six channels.
constexpr int kChannels = 48;
constexpr int kGroups = 8;
// The remote: 32 keys, four IDs, eight variables.
constexpr int kKeys = 32;
constexpr int kRemoteIds = 4;
constexpr int kVariables = 8;

struct CommandHelp
{
    const char* word;
    const char* synopsis;
    const char* description;
};

const CommandHelp kCommands[] = {
    {"ports", "ports",
     "List the serial ports, with what they are and whether they can be opened now."},
    {"info", "info", "Identify the controller and read its program checksum and program header."},
    {"read", "read sram|introm|extrom ADDR LEN [-o FILE]",
     "Read LEN bytes from ADDR: a hexadecimal dump on standard output, raw bytes to FILE with -o "
     "(-o - for raw bytes on standard output)."},
    {"write", "write sram|introm|extrom ADDR (HEX... | -i FILE) [--verify]",
     "Write bytes from ADDR on, given as HEX or read from FILE (-i - reads standard input). "
     "--verify reads the range back and fails on any difference."},
    {"program", "program size | program save FILE",
     "The program stored in the controller: its size, or the whole program saved to FILE."},
    {"servo",
     "servo get CH | servo group G | servo set CH POS | servo set FIRST POS,POS,... | "
     "servo on|off CH",
     "Read or set servo positions (channels 1-48, groups 1-8, positions 0-255). The list form "
     "switches each channel on before giving it its position."},
    {"speed", "speed N", "Set the speed (0-255)."},
    {"speed-v", "speed-v N", "Set the speed value (0-255)."},
    {"ptp", "ptp on|off", "Switch point-to-point moves on or off."},
    {"moving", "moving", "Whether the servos are moving."},
    {"run", "run", "Run the stored program (the controller must echo the command)."},
    {"stop", "stop", "Stop the program."},
    {"break", "break", "Pause the program."},
    {"reset", "reset", "Reset the controller."},
    {"key", "key K [--id 1-4] [--var 1-8]",
     "Press key K (1-32) of the remote: the bytes a click on the remote window sends."},
    {"send", "send HEX...", "Send raw bytes, one per reply, and print each reply."},
};

const char* kExitCodesText = "Exit codes: 0 done; 1 controller fault (no answer within the "
                             "timeout, wrong echo, device lost, verify difference) or output "
                             "that could not be written; 2 usage error, nothing sent; 3 the port "
                             "cannot be opened; 130 interrupted.";

const CommandHelp* FindCommand(const QString& word)
{
    for (const CommandHelp& c : kCommands) {
        if (word == QLatin1String(c.word))
            return &c;
    }
    return nullptr;
}

QString GeneralHelp(const QCommandLineParser& parser)
{
    QString text = parser.helpText();
    text += QStringLiteral("\nCommands:\n");
    for (const CommandHelp& c : kCommands)
        text += QStringLiteral("  ") + QLatin1String(c.synopsis) + QLatin1Char('\n');
    text += QStringLiteral("\n'vantorctl COMMAND --help' describes one command.\n");
    text += QStringLiteral("Numbers: addresses and bytes are hexadecimal with or without 0x; "
                           "lengths are decimal, or hexadecimal with 0x.\n");
    text += QLatin1String(kExitCodesText) + QLatin1Char('\n');
    return text;
}

QString CommandHelpText(const CommandHelp& c, const QCommandLineParser& parser)
{
    QString options = parser.helpText();
    // The general usage line and description give way to the command's own.
    const qsizetype at = options.indexOf(QStringLiteral("Options:"));
    if (at > 0)
        options = options.mid(at);
    return QStringLiteral("Usage: vantorctl [options] ") + QLatin1String(c.synopsis) +
           QStringLiteral("\n\n") + QLatin1String(c.description) + QStringLiteral("\n\n") +
           options + QLatin1Char('\n') + QLatin1String(kExitCodesText) + QLatin1Char('\n');
}

// Builds the request while collecting the first error; every reader names
// the argument it rejects.
class RequestReader
{
public:
    RequestReader(const QStringList& words, const QCommandLineParser& parser)
        : mWords(words), mParser(parser)
    {
    }

    QString error;

    bool fail(const QString& message)
    {
        if (error.isEmpty())
            error = message;
        return false;
    }

    QString word(int i) const { return i < mWords.size() ? mWords.at(i) : QString(); }

    bool count(int n)
    {
        if (mWords.size() < n)
            return fail(QStringLiteral("%1: missing arguments").arg(mWords.join(QLatin1Char(' '))));
        if (mWords.size() > n)
            return fail(QStringLiteral("unexpected argument '%1'").arg(mWords.at(n)));
        return true;
    }

    bool memory(int i, Memory* out)
    {
        const QString w = word(i);
        if (w == QLatin1String("sram"))
            *out = Memory::Sram;
        else if (w == QLatin1String("introm"))
            *out = Memory::IntRom;
        else if (w == QLatin1String("extrom"))
            *out = Memory::ExtRom;
        else
            return fail(QStringLiteral("memory '%1' is not sram, introm or extrom").arg(w));
        return true;
    }

    bool address(int i, qint32* out)
    {
        const std::optional<qint64> v = ParseHex(word(i));
        if (!v || *v >= kAddressEnd)
            return fail(QStringLiteral("address '%1' is not hexadecimal 0000-FFFF").arg(word(i)));
        *out = qint32(*v);
        return true;
    }

    bool range(qint32 address, qint64 length, const QString& what)
    {
        if (address + length > kAddressEnd)
            return fail(
                QStringLiteral("%1 %2 bytes from %3 runs past FFFF")
                    .arg(what)
                    .arg(length)
                    .arg(QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper()));
        return true;
    }

    bool byteValue(const QString& text, char* out)
    {
        const std::optional<qint64> v = ParseHex(text);
        if (!v || *v > 0xFF)
            return fail(QStringLiteral("byte '%1' is not hexadecimal 00-FF").arg(text));
        *out = char(*v);
        return true;
    }

    bool bytesFrom(int first, QByteArray* out)
    {
        for (int i = first; i < mWords.size(); ++i) {
            char b = 0;
            if (!byteValue(mWords.at(i), &b))
                return false;
            out->append(b);
        }
        return true;
    }

    bool decimal(const QString& text, const QString& what, int min, int max, qint32* out)
    {
        bool ok = false;
        const int v = text.toInt(&ok, 10);
        if (!ok || v < min || v > max)
            return fail(QStringLiteral("%1 '%2' is not %3-%4").arg(what, text).arg(min).arg(max));
        *out = v;
        return true;
    }

    bool onOff(int i, bool* out)
    {
        const QString w = word(i);
        if (w != QLatin1String("on") && w != QLatin1String("off"))
            return fail(QStringLiteral("'%1' is not on or off").arg(w));
        *out = w == QLatin1String("on");
        return true;
    }

    bool only(const QStringList& options, const QString& command)
    {
        for (const QString& o : options) {
            if (mParser.isSet(o))
                return fail(QStringLiteral("option --%1 does not apply to %2").arg(o, command));
        }
        return true;
    }

private:
    const QStringList& mWords;
    const QCommandLineParser& mParser;
};

bool ReadMemoryCommand(RequestReader& r, const QCommandLineParser& parser, Request& q)
{
    if (!r.count(4) || !r.memory(1, &q.memory) || !r.address(2, &q.address))
        return false;
    const std::optional<qint64> length = ParseCount(r.word(3));
    if (!length || *length < 1 || *length > kAddressEnd)
        return r.fail(QStringLiteral("length '%1' is not 1-65536").arg(r.word(3)));
    if (!r.range(q.address, *length, QStringLiteral("reading")))
        return false;
    q.length = qint32(*length);
    if (parser.isSet(QStringLiteral("output"))) {
        q.outputPath = parser.value(QStringLiteral("output"));
        if (q.outputPath.isEmpty())
            return r.fail(QStringLiteral("-o needs a file name, or - for standard output"));
    }
    return true;
}

bool WriteMemoryCommand(RequestReader& r, const QCommandLineParser& parser, Request& q)
{
    if (r.word(1).isEmpty() || r.word(2).isEmpty())
        return r.fail(QStringLiteral("write: missing arguments"));
    if (!r.memory(1, &q.memory) || !r.address(2, &q.address))
        return false;
    const bool fromFile = parser.isSet(QStringLiteral("input"));
    if (fromFile) {
        if (!r.count(3))
            return false;
        // "-" is standard input (a pipe, a here-document).
        const QString name = parser.value(QStringLiteral("input"));
        QFile file(name);
        const bool opened = name == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                       : file.open(QIODevice::ReadOnly);
        if (!opened)
            return r.fail(QStringLiteral("cannot read '%1': %2").arg(name, file.errorString()));
        // One byte more than any range holds, so that too much is noticed.
        q.data = file.read(kAddressEnd + 1);
        if (file.error() != QFileDevice::NoError)
            return r.fail(QStringLiteral("cannot read '%1': %2").arg(name, file.errorString()));
    } else if (!r.bytesFrom(3, &q.data)) {
        return false;
    }
    if (q.data.isEmpty())
        return r.fail(QStringLiteral("write: no bytes to write"));
    q.verify = parser.isSet(QStringLiteral("verify"));
    return r.range(q.address, q.data.size(), QStringLiteral("writing"));
}

bool ServoCommand(RequestReader& r, Request& q)
{
    const QString sub = r.word(1);
    q.title += QLatin1Char(' ') + sub;
    if (sub == QLatin1String("get")) {
        q.kind = Request::Kind::ServoGet;
        return r.count(3) && r.decimal(r.word(2), "channel", 1, kChannels, &q.channel);
    }
    if (sub == QLatin1String("group")) {
        q.kind = Request::Kind::ServoGroup;
        return r.count(3) && r.decimal(r.word(2), "group", 1, kGroups, &q.channel);
    }
    if (sub == QLatin1String("on") || sub == QLatin1String("off")) {
        q.kind = sub == QLatin1String("on") ? Request::Kind::ServoOn : Request::Kind::ServoOff;
        return r.count(3) && r.decimal(r.word(2), "channel", 1, kChannels, &q.channel);
    }
    if (sub != QLatin1String("set"))
        return r.fail(QStringLiteral("servo: '%1' is not get, group, set, on or off").arg(sub));
    if (!r.count(4) || !r.decimal(r.word(2), "channel", 1, kChannels, &q.channel))
        return false;
    const QString positions = r.word(3);
    if (!positions.contains(QLatin1Char(','))) {
        q.kind = Request::Kind::ServoSet;
        return r.decimal(positions, "position", 0, 255, &q.position);
    }
    q.kind = Request::Kind::ServoSetMany;
    const QStringList fields = positions.split(QLatin1Char(','));
    for (const QString& f : fields) {
        qint32 unused = 0;
        if (!r.decimal(f.trimmed(), "position", 0, 255, &unused))
            return false;
    }
    q.count = qint32(fields.size());
    if (q.channel + q.count - 1 > kChannels)
        return r.fail(QStringLiteral("%1 positions from channel %2 run past channel %3")
                          .arg(q.count)
                          .arg(q.channel)
                          .arg(kChannels));
    q.positions = positions;
    return true;
}

bool BuildRequest(const QStringList& words, const QCommandLineParser& parser, Request& q,
                  QString* error)
{
    RequestReader r(words, parser);
    const QString cmd = words.constFirst();
    q.title = cmd;
    const QStringList perCommand{QStringLiteral("output"), QStringLiteral("input"),
                                 QStringLiteral("verify"), QStringLiteral("id"),
                                 QStringLiteral("var")};
    QStringList allowed;
    bool ok = true;

    using K = Request::Kind;
    const struct
    {
        const char* word;
        K kind;
    } bare[] = {{"ports", K::Ports}, {"info", K::Info},   {"moving", K::Moving}, {"run", K::Run},
                {"stop", K::Stop},   {"break", K::Break}, {"reset", K::Reset}};
    bool matched = false;
    for (const auto& b : bare) {
        if (cmd == QLatin1String(b.word)) {
            q.kind = b.kind;
            ok = r.count(1);
            matched = true;
        }
    }
    if (matched) {
    } else if (cmd == QLatin1String("read")) {
        q.kind = K::Read;
        allowed = {QStringLiteral("output")};
        ok = ReadMemoryCommand(r, parser, q);
        q.title += QLatin1Char(' ') + r.word(1);
    } else if (cmd == QLatin1String("write")) {
        q.kind = K::Write;
        allowed = {QStringLiteral("input"), QStringLiteral("verify")};
        ok = WriteMemoryCommand(r, parser, q);
        q.title += QLatin1Char(' ') + r.word(1);
    } else if (cmd == QLatin1String("program")) {
        q.title += QLatin1Char(' ') + r.word(1);
        if (r.word(1) == QLatin1String("size")) {
            q.kind = K::ProgramSize;
            ok = r.count(2);
        } else if (r.word(1) == QLatin1String("save")) {
            q.kind = K::ProgramSave;
            ok = r.count(3);
            q.outputPath = r.word(2);
        } else {
            ok = r.fail(QStringLiteral("program: '%1' is not size or save").arg(r.word(1)));
        }
    } else if (cmd == QLatin1String("servo")) {
        ok = ServoCommand(r, q);
    } else if (cmd == QLatin1String("speed") || cmd == QLatin1String("speed-v")) {
        q.kind = cmd == QLatin1String("speed") ? K::Speed : K::SpeedV;
        ok = r.count(2) && r.decimal(r.word(1), "speed", 0, 255, &q.channel);
    } else if (cmd == QLatin1String("ptp")) {
        q.kind = K::Ptp;
        ok = r.count(2) && r.onOff(1, &q.on);
    } else if (cmd == QLatin1String("key")) {
        q.kind = K::Key;
        allowed = {QStringLiteral("id"), QStringLiteral("var")};
        qint32 id = 1;
        qint32 var = 1;
        ok = r.count(2) && r.decimal(r.word(1), "key", 1, kKeys, &q.channel) &&
             (!parser.isSet(QStringLiteral("id")) ||
              r.decimal(parser.value(QStringLiteral("id")), "--id", 1, kRemoteIds, &id)) &&
             (!parser.isSet(QStringLiteral("var")) ||
              r.decimal(parser.value(QStringLiteral("var")), "--var", 1, kVariables, &var));
        q.position = id;
        q.count = var;
    } else if (cmd == QLatin1String("send")) {
        q.kind = K::Send;
        ok = r.bytesFrom(1, &q.data);
        if (ok && q.data.isEmpty())
            ok = r.fail(QStringLiteral("send: no bytes to send"));
    } else {
        ok = r.fail(QStringLiteral("unknown command '%1'").arg(cmd));
    }

    QStringList forbidden = perCommand;
    for (const QString& a : allowed)
        forbidden.removeAll(a);
    if (ok)
        ok = r.only(forbidden, cmd);
    *error = r.error;
    return ok;
}

} // namespace

QString MemoryName(Memory memory)
{
    switch (memory) {
    case Memory::Sram:
        return QStringLiteral("sram");
    case Memory::IntRom:
        return QStringLiteral("introm");
    case Memory::ExtRom:
        return QStringLiteral("extrom");
    }
    return {};
}

std::optional<qint64> ParseHex(const QString& text)
{
    QString digits = text;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    // At most eight digits: enough for any value the controller takes and
    // far from overflowing.
    if (digits.isEmpty() || digits.size() > 8)
        return std::nullopt;
    bool ok = false;
    const qint64 v = digits.toLongLong(&ok, 16);
    if (!ok || v < 0)
        return std::nullopt;
    return v;
}

std::optional<qint64> ParseCount(const QString& text)
{
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        return ParseHex(text);
    bool ok = false;
    const qint64 v = text.toLongLong(&ok, 10);
    if (!ok || v < 0 || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return v;
}

Parsed ParseCommandLine(const QStringList& arguments)
{
    Parsed result;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Talks to a QMC-4410 servo controller over its serial line."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show help (for one command after it)."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOptions({
        {QStringLiteral("port"),
         QStringLiteral("The port: a name from 'vantorctl ports', a device path, or 'virtual' "
                        "for the built-in controller. Default: the port saved by the program."),
         QStringLiteral("NAME|PATH")},
        {QStringLiteral("timeout"),
         QStringLiteral("Give up when a reply takes longer than MS milliseconds (default 500)."),
         QStringLiteral("MS")},
        {QStringLiteral("json"), QStringLiteral("Machine-readable output.")},
        {{QStringLiteral("v"), QStringLiteral("trace")},
         QStringLiteral("Every byte out and in on standard error.")},
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("read: raw bytes to FILE (- for standard output)."),
         QStringLiteral("FILE")},
        {{QStringLiteral("i"), QStringLiteral("input")},
         QStringLiteral("write: the bytes of FILE (- for standard input)."),
         QStringLiteral("FILE")},
        {QStringLiteral("verify"), QStringLiteral("write: read back and compare.")},
        {QStringLiteral("id"), QStringLiteral("key: the remote ID, 1-4 (default 1)."),
         QStringLiteral("N")},
        {QStringLiteral("var"), QStringLiteral("key: the variable, 1-8 (default 1)."),
         QStringLiteral("N")},
    });
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("The command and its arguments (see below)."),
                                 QStringLiteral("COMMAND [ARGS...]"));

    const auto usage = [&result](const QString& message) {
        result.text = QStringLiteral("vantorctl: ") + message +
                      QStringLiteral("\nTry 'vantorctl --help' for more information.\n");
        result.exitCode = kExitUsage;
        return result;
    };

    if (!parser.parse(arguments))
        return usage(parser.errorText());
    const QStringList words = parser.positionalArguments();
    if (parser.isSet(help)) {
        const CommandHelp* c = words.isEmpty() ? nullptr : FindCommand(words.constFirst());
        if (!words.isEmpty() && !c)
            return usage(QStringLiteral("unknown command '%1'").arg(words.constFirst()));
        result.text = c ? CommandHelpText(*c, parser) : GeneralHelp(parser);
        result.toStdout = true;
        return result;
    }
    if (parser.isSet(version)) {
        result.text = QStringLiteral("vantorctl %1\n").arg(QCoreApplication::applicationVersion());
        result.toStdout = true;
        return result;
    }

    result.global.port = parser.value(QStringLiteral("port"));
    result.global.json = parser.isSet(QStringLiteral("json"));
    result.global.trace = parser.isSet(QStringLiteral("trace"));
    if (parser.isSet(QStringLiteral("port")) && result.global.port.isEmpty())
        return usage(QStringLiteral("--port needs a name or a path"));
    if (parser.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        const QString t = parser.value(QStringLiteral("timeout"));
        result.global.timeoutMs = t.toInt(&ok);
        if (!ok || result.global.timeoutMs < 1 || result.global.timeoutMs > 3'600'000)
            return usage(QStringLiteral("--timeout '%1' is not 1-3600000 milliseconds").arg(t));
    }
    if (words.isEmpty())
        return usage(QStringLiteral("no command given"));

    Request request;
    QString error;
    if (!BuildRequest(words, parser, request, &error))
        return usage(error);
    result.request = request;
    return result;
}
