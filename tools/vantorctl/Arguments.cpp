#include "Arguments.h"

#include "link/Sequence.h"

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
    {"program",
     "program size | program save FILE | program load FILE [--verify] | program verify FILE",
     "The program stored in the controller: its size; the whole program saved to FILE; FILE put "
     "on the board (after a backup of the board's own program into the data folder; --verify "
     "reads it back and fails at the first difference); or the board compared with FILE, "
     "writing nothing. FILE must hold a program: its size field (bytes 0E-0F, low byte first) "
     "must match its length."},
    {"servo",
     "servo get CH | servo group G | servo set CH POS | servo set FIRST POS,POS,... | "
     "servo on|off CH | servo watch [G...] [--interval MS]",
     "Read or set servo positions (channels 1-48, groups 1-8, positions 0-255). The list form "
     "switches each channel on before giving it its position. watch reads the groups (all eight "
     "by default) again and again and prints a line per refresh (JSON lines with --json) until "
     "Ctrl-C; --interval sets the shortest time between two refreshes."},
    {"speed", "speed N",
     "Set the speed step the servos move at, N 0-255 (controller command B2). It is a setting "
     "of its own, apart from the speed value that speed-v sets."},
    {"speed-v", "speed-v N",
     "Set the speed value, N 0-255 (controller command E9): the setting a stored program makes "
     "with its own E9 bytes. It is kept apart from the speed step that speed sets."},
    {"ptp", "ptp on|off", "Switch point-to-point moves on or off."},
    {"moving", "moving", "Whether the servos are moving."},
    {"run", "run", "Run the stored program (the controller must echo the command)."},
    {"stop", "stop", "Stop the program."},
    {"break", "break", "Pause the program."},
    {"reset", "reset", "Reset the controller."},
    {"key", "key K [--id 1-4] [--var 1-8]",
     "Press key K (1-32) of the remote: the bytes a click on the remote window sends."},
    {"send", "send HEX...", "Send raw bytes, one per reply, and print each reply."},
    {"play", "play FILE [--loop N] [--from FRAME] [--step] [--dry-run]",
     "Play the sequence in FILE (a vantor-sequence file): for each frame its speed and servo "
     "settings, then its wait (until the board reports it stopped, or a fixed time) and its "
     "hold. --loop N plays it N times (0: until Ctrl-C), each pass from --from FRAME (a number "
     "from 1, or a frame's name) to the end; --step plays that one frame alone. --dry-run prints "
     "the bytes, wait and hold of each frame and sends nothing (no port is needed). A damaged "
     "file is refused with its line before anything is sent; Ctrl-C stops the motion where it "
     "is, and nothing more is sent."},
    {"pose", "pose [--channels LIST]",
     "Read the board's servo positions as a frame of a sequence file: a line of CHANNEL:POSITION "
     "pairs, or with --json a frame object to append to a file's \"frames\". LIST names "
     "channels and ranges, such as 1-6,9 (default: all 48)."},
    {"help", "help [COMMAND]",
     "Describe one command, as 'vantorctl COMMAND --help' does, or all of them."},
};

// The options; `command` names the one command an option belongs to, nullptr
// for the options every command takes.
struct OptionHelp
{
    const char* names[2];
    const char* valueName; // nullptr: a switch
    const char* description;
    const char* command; // the commands it belongs to, separated by blanks
};

const OptionHelp kOptions[] = {
    {{"h", "help"}, nullptr, "Show help (for one command after it).", nullptr},
    {{"version"}, nullptr, "Show the version.", nullptr},
    {{"port"},
     "NAME|PATH",
     "The port: a name from 'vantorctl ports', a device path, or 'virtual' for the built-in "
     "controller. Default: the port saved by the program.",
     nullptr},
    {{"timeout"},
     "MS",
     "Give up when a reply takes longer than MS milliseconds (default 1000).",
     nullptr},
    {{"json"}, nullptr, "Machine-readable output.", nullptr},
    {{"v", "trace"}, nullptr, "Every byte out and in on standard error.", nullptr},
    {{"o", "output"}, "FILE", "read: raw bytes to FILE (- for standard output).", "read"},
    {{"i", "input"}, "FILE", "write: the bytes of FILE (- for standard input).", "write"},
    {{"verify"}, nullptr, "write, program load: read back and compare.", "write program"},
    {{"interval"}, "MS", "servo watch: at least MS milliseconds between refreshes.", "servo"},
    {{"id"}, "N", "key: the remote ID, 1-4 (default 1).", "key"},
    {{"var"}, "N", "key: the variable, 1-8 (default 1).", "key"},
    {{"loop"}, "N", "play: play the sequence N times, 0 for ever (default 1).", "play"},
    {{"from"}, "FRAME", "play: start at FRAME, a number from 1 or a frame's name.", "play"},
    {{"step"}, nullptr, "play: play the one frame --from names, then stop.", "play"},
    {{"dry-run"}, nullptr, "play: print what each frame would send; send nothing.", "play"},
    {{"channels"}, "LIST", "pose: the channels to read, such as 1-6,9 (default 1-48).", "pose"},
};

QStringList OptionNames(const OptionHelp& o)
{
    QStringList names;
    for (const char* name : o.names) {
        if (name)
            names << QLatin1String(name);
    }
    return names;
}

// The options of one command (the global ones and its own); every option
// when command is nullptr.
QList<QCommandLineOption> Options(const char* command)
{
    QList<QCommandLineOption> options;
    for (const OptionHelp& o : kOptions) {
        if (command && o.command &&
            !QString::fromLatin1(o.command)
                 .split(QLatin1Char(' '))
                 .contains(QLatin1String(command)))
            continue;
        QCommandLineOption option(OptionNames(o), QLatin1String(o.description));
        if (o.valueName)
            option.setValueName(QLatin1String(o.valueName));
        options.append(option);
    }
    return options;
}

const OptionHelp* FindOption(const QString& name)
{
    for (const OptionHelp& o : kOptions) {
        if (OptionNames(o).contains(name))
            return &o;
    }
    return nullptr;
}

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
    text += QStringLiteral("\n'vantorctl COMMAND --help' or 'vantorctl help COMMAND' describes "
                           "one command.\n");
    text += QStringLiteral("Numbers: addresses and bytes are hexadecimal with or without 0x; "
                           "lengths are decimal, or hexadecimal with 0x.\n");
    text += QLatin1String(kExitCodesText) + QLatin1Char('\n');
    return text;
}

QString CommandHelpText(const CommandHelp& c)
{
    // Qt lays out the options that apply to this command; its usage line
    // gives way to the command's own synopsis.
    QCommandLineParser own;
    own.addOptions(Options(c.word));
    QString options = own.helpText();
    const qsizetype at = options.indexOf(QStringLiteral("Options:"));
    if (at > 0)
        options = options.mid(at);
    return QStringLiteral("Usage: vantorctl [options] ") + QLatin1String(c.synopsis) +
           QStringLiteral("\n\n") + QLatin1String(c.description) + QStringLiteral("\n\n") +
           options + QLatin1Char('\n') + QLatin1String(kExitCodesText) + QLatin1Char('\n');
}

// The words of the command line put in the order the option parser reads
// unambiguously: the options with their values first, then "--" and the
// command with its arguments. A word such as "-1" is an argument (a number
// out of range), not option "1"; a word after an option that takes a value
// is that value, whatever it looks like. Unknown options and missing values
// are reported here, in the tool's own words.
struct Arranged
{
    QStringList arguments;
    QString error;
};

Arranged Arrange(const QStringList& arguments)
{
    Arranged result;
    QStringList options, words;
    bool wordsOnly = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& w = arguments.at(i);
        const bool number = w.size() > 1 && w.at(1).isDigit();
        if (wordsOnly || w == QLatin1String("-") || !w.startsWith(QLatin1Char('-')) || number) {
            words << w;
            continue;
        }
        if (w == QLatin1String("--")) {
            wordsOnly = true;
            continue;
        }
        options << w;
        // The option that still needs the next word as its value, if any.
        const OptionHelp* pending = nullptr;
        QString pendingName;
        if (w.startsWith(QLatin1String("--"))) {
            const QString name = w.mid(2).section(QLatin1Char('='), 0, 0);
            const OptionHelp* o = FindOption(name);
            if (!o) {
                result.error = QStringLiteral("unknown option '--%1'").arg(name);
                return result;
            }
            const bool hasValue = w.contains(QLatin1Char('='));
            if (!o->valueName && hasValue) {
                result.error = QStringLiteral("--%1 takes no value").arg(name);
                return result;
            }
            if (o->valueName && !hasValue) {
                pending = o;
                pendingName = QStringLiteral("--") + name;
            }
        } else {
            // Short options may be run together (-vo FILE); the rest of a
            // word after one that takes a value is its value (-oFILE).
            for (qsizetype j = 1; j < w.size(); ++j) {
                const QString name = w.mid(j, 1);
                const OptionHelp* o = FindOption(name);
                if (!o) {
                    result.error = QStringLiteral("unknown option '-%1'").arg(name);
                    return result;
                }
                if (o->valueName) {
                    if (j + 1 == w.size()) {
                        pending = o;
                        pendingName = QStringLiteral("-") + name;
                    }
                    break;
                }
            }
        }
        if (pending) {
            if (i + 1 == arguments.size()) {
                result.error = QStringLiteral("missing %1 after %2")
                                   .arg(QLatin1String(pending->valueName), pendingName);
                return result;
            }
            options << arguments.at(++i);
        }
    }
    result.arguments << arguments.value(0) << options << QStringLiteral("--") << words;
    return result;
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
    QString title; // the command as messages name it: "read", "servo set"

    bool fail(const QString& message)
    {
        if (error.isEmpty())
            error = message;
        return false;
    }

    QString word(int i) const { return i < mWords.size() ? mWords.at(i) : QString(); }

    // The words from `first` on must be the arguments the synopsis names,
    // the last one repeated when `repeated`; the first one missing is named
    // by its synopsis name.
    bool arguments(int first, const QStringList& names, bool repeated = false)
    {
        const qsizetype given = mWords.size() - first;
        if (given < names.size())
            return fail(QStringLiteral("%1: missing %2").arg(title, names.at(given)));
        if (given > names.size() && !repeated)
            return fail(QStringLiteral("%1: unexpected argument '%2'")
                            .arg(title, mWords.at(first + names.size())));
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
            return fail(QStringLiteral("%1 %2 bytes from %3 runs past FFFF")
                            .arg(what)
                            .arg(length)
                            .arg(Hex4(address)));
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

    // The sub-command word at i, one of `choices`; the title takes it on.
    bool sub(int i, const QStringList& choices)
    {
        const QString w = word(i);
        if (w.isEmpty())
            return fail(
                QStringLiteral("%1: missing %2").arg(title, choices.join(QLatin1Char('|'))));
        if (!choices.contains(w)) {
            QStringList listed = choices;
            const QString last = listed.takeLast();
            return fail(QStringLiteral("%1: '%2' is not %3 or %4")
                            .arg(title, w, listed.join(QStringLiteral(", ")), last));
        }
        title += QLatin1Char(' ') + w;
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

    static QString Hex4(qint64 value)
    {
        return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
    }

private:
    const QStringList& mWords;
    const QCommandLineParser& mParser;
};

const QString kMemoryChoice = QStringLiteral("sram|introm|extrom");

bool ReadMemoryCommand(RequestReader& r, const QCommandLineParser& parser, Request& q)
{
    if (!r.arguments(1, {kMemoryChoice, QStringLiteral("ADDR"), QStringLiteral("LEN")}) ||
        !r.memory(1, &q.memory) || !r.address(2, &q.address))
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

// The bytes of the -i file, refused with its size when they do not fit
// between the address and the end of the memory.
bool ReadInputFile(RequestReader& r, const QString& path, Request& q)
{
    // "-" is standard input (a pipe, a here-document).
    QFile file(path);
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                   : file.open(QIODevice::ReadOnly);
    if (!opened)
        return r.fail(QStringLiteral("cannot read '%1': %2").arg(path, file.errorString()));
    // One byte more than any memory holds tells a file that is too large.
    q.data = file.read(kAddressEnd + 1);
    if (file.error() != QFileDevice::NoError)
        return r.fail(QStringLiteral("cannot read '%1': %2").arg(path, file.errorString()));
    const qint64 room = kAddressEnd - q.address;
    if (q.data.size() <= room)
        return true;
    // A pipe's size is known only as far as it was read.
    QString size = QString::number(file.isSequential() ? q.data.size() : file.size());
    if (file.isSequential() && q.data.size() > kAddressEnd)
        size = QStringLiteral("more than %1").arg(kAddressEnd);
    return r.fail(QStringLiteral("'%1' holds %2 bytes; %3 0000-FFFF takes at most %4 from %5")
                      .arg(path, size, MemoryName(q.memory))
                      .arg(room)
                      .arg(RequestReader::Hex4(q.address)));
}

bool WriteMemoryCommand(RequestReader& r, const QCommandLineParser& parser, Request& q)
{
    const bool fromFile = parser.isSet(QStringLiteral("input"));
    const QStringList names{kMemoryChoice, QStringLiteral("ADDR")};
    if (!(fromFile
              ? r.arguments(1, names)
              : r.arguments(1, names + QStringList{QStringLiteral("HEX... or -i FILE")}, true)) ||
        !r.memory(1, &q.memory) || !r.address(2, &q.address))
        return false;
    if (fromFile) {
        if (!ReadInputFile(r, parser.value(QStringLiteral("input")), q))
            return false;
        if (q.data.isEmpty())
            return r.fail(QStringLiteral("'%1' holds no bytes to write")
                              .arg(parser.value(QStringLiteral("input"))));
    } else if (!r.bytesFrom(3, &q.data)) {
        return false;
    }
    q.verify = parser.isSet(QStringLiteral("verify"));
    return r.range(q.address, q.data.size(), QStringLiteral("writing"));
}

// The program image for load and verify: read now, and refused before
// anything is sent when it cannot be a program.
bool ProgramFile(RequestReader& r, const QString& path, Request& q)
{
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened)
        return r.fail(QStringLiteral("cannot read '%1': %2").arg(path, file.errorString()));
    q.data = file.read(ProgramImage::cRomSize);
    q.inputPath = path;
    if (const ProgramImage::Problem problem = ProgramImage::checkFile(q.data))
        return r.fail(
            QStringLiteral("'%1' is not a program: %2").arg(path, ProgramImage::describe(problem)));
    return true;
}

bool ServoCommand(RequestReader& r, Request& q)
{
    if (!r.sub(1, {QStringLiteral("get"), QStringLiteral("group"), QStringLiteral("set"),
                   QStringLiteral("on"), QStringLiteral("off"), QStringLiteral("watch")}))
        return false;
    const QString sub = r.word(1);
    q.title += QLatin1Char(' ') + sub;
    const QString ch = QStringLiteral("CH");
    if (sub == QLatin1String("get")) {
        q.kind = Request::Kind::ServoGet;
        return r.arguments(2, {ch}) && r.decimal(r.word(2), "channel", 1, kChannels, &q.channel);
    }
    if (sub == QLatin1String("group")) {
        q.kind = Request::Kind::ServoGroup;
        return r.arguments(2, {QStringLiteral("G")}) &&
               r.decimal(r.word(2), "group", 1, kGroups, &q.channel);
    }
    if (sub == QLatin1String("on") || sub == QLatin1String("off")) {
        q.kind = sub == QLatin1String("on") ? Request::Kind::ServoOn : Request::Kind::ServoOff;
        return r.arguments(2, {ch}) && r.decimal(r.word(2), "channel", 1, kChannels, &q.channel);
    }
    if (sub == QLatin1String("watch")) {
        q.kind = Request::Kind::ServoWatch;
        for (int i = 2; !r.word(i).isEmpty(); ++i) {
            qint32 group = 0;
            if (!r.decimal(r.word(i), "group", 1, kGroups, &group))
                return false;
            if (!q.groups.contains(group))
                q.groups << group;
        }
        if (q.groups.isEmpty())
            q.groups = {1, 2, 3, 4, 5, 6, 7, 8};
        return true;
    }
    if (!r.arguments(2, {ch, QStringLiteral("POS")}) ||
        !r.decimal(r.word(2), "channel", 1, kChannels, &q.channel))
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

// play FILE and pose: the file itself is read when the command runs, so that
// its refusal names the line.
bool SequenceCommand(RequestReader& r, const QCommandLineParser& parser, Request& q)
{
    if (q.kind == Request::Kind::Pose) {
        if (!r.arguments(1, {}))
            return false;
        if (!parser.isSet(QStringLiteral("channels"))) {
            for (int c = 1; c <= kChannels; ++c)
                q.channels << c;
            return true;
        }
        QString why;
        const QString list = parser.value(QStringLiteral("channels"));
        const std::optional<QList<int>> channels = ParseChannelList(list, &why);
        if (!channels)
            return r.fail(QStringLiteral("--channels '%1': %2").arg(list, why));
        q.channels = *channels;
        return true;
    }
    if (!r.arguments(1, {QStringLiteral("FILE")}))
        return false;
    q.inputPath = r.word(1);
    q.step = parser.isSet(QStringLiteral("step"));
    q.dryRun = parser.isSet(QStringLiteral("dry-run"));
    q.fromFrame = parser.value(QStringLiteral("from"));
    if (parser.isSet(QStringLiteral("from")) && q.fromFrame.isEmpty())
        return r.fail(QStringLiteral("--from needs a frame number or name"));
    return !parser.isSet(QStringLiteral("loop")) ||
           r.decimal(parser.value(QStringLiteral("loop")), "--loop", 0, 1'000'000, &q.loops);
}

bool BuildRequest(const QStringList& words, const QCommandLineParser& parser, Request& q,
                  QString* error)
{
    RequestReader r(words, parser);
    const QString cmd = words.constFirst();
    q.title = cmd;
    r.title = cmd;
    const QStringList perCommand{
        QStringLiteral("output"),  QStringLiteral("input"),   QStringLiteral("verify"),
        QStringLiteral("id"),      QStringLiteral("var"),     QStringLiteral("interval"),
        QStringLiteral("loop"),    QStringLiteral("from"),    QStringLiteral("step"),
        QStringLiteral("dry-run"), QStringLiteral("channels")};
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
            ok = r.arguments(1, {});
            matched = true;
        }
    }
    const QString n = QStringLiteral("N");
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
        ok = r.sub(1, {QStringLiteral("size"), QStringLiteral("save"), QStringLiteral("load"),
                       QStringLiteral("verify")});
        q.title += QLatin1Char(' ') + r.word(1);
        const QString sub = r.word(1);
        if (ok && sub == QLatin1String("size")) {
            q.kind = K::ProgramSize;
            ok = r.arguments(2, {});
        } else if (ok && sub == QLatin1String("save")) {
            q.kind = K::ProgramSave;
            ok = r.arguments(2, {QStringLiteral("FILE")});
            q.outputPath = r.word(2);
        } else if (ok) {
            q.kind = sub == QLatin1String("load") ? K::ProgramLoad : K::ProgramVerify;
            if (q.kind == K::ProgramLoad)
                allowed = {QStringLiteral("verify")};
            q.verify = parser.isSet(QStringLiteral("verify"));
            ok = r.arguments(2, {QStringLiteral("FILE")}) && ProgramFile(r, r.word(2), q);
        }
    } else if (cmd == QLatin1String("servo")) {
        ok = ServoCommand(r, q);
        if (ok && q.kind == K::ServoWatch) {
            allowed = {QStringLiteral("interval")};
            ok = !parser.isSet(QStringLiteral("interval")) ||
                 r.decimal(parser.value(QStringLiteral("interval")), "--interval", 0, 3'600'000,
                           &q.intervalMs);
        }
    } else if (cmd == QLatin1String("speed") || cmd == QLatin1String("speed-v")) {
        q.kind = cmd == QLatin1String("speed") ? K::Speed : K::SpeedV;
        ok = r.arguments(1, {n}) && r.decimal(r.word(1), "speed", 0, 255, &q.channel);
    } else if (cmd == QLatin1String("ptp")) {
        q.kind = K::Ptp;
        ok = r.arguments(1, {QStringLiteral("on|off")}) && r.onOff(1, &q.on);
    } else if (cmd == QLatin1String("key")) {
        q.kind = K::Key;
        allowed = {QStringLiteral("id"), QStringLiteral("var")};
        qint32 id = 1;
        qint32 var = 1;
        ok = r.arguments(1, {QStringLiteral("K")}) &&
             r.decimal(r.word(1), "key", 1, kKeys, &q.channel) &&
             (!parser.isSet(QStringLiteral("id")) ||
              r.decimal(parser.value(QStringLiteral("id")), "--id", 1, kRemoteIds, &id)) &&
             (!parser.isSet(QStringLiteral("var")) ||
              r.decimal(parser.value(QStringLiteral("var")), "--var", 1, kVariables, &var));
        q.position = id;
        q.count = var;
    } else if (cmd == QLatin1String("play") || cmd == QLatin1String("pose")) {
        q.kind = cmd == QLatin1String("play") ? K::Play : K::Pose;
        allowed = q.kind == K::Play ? QStringList{QStringLiteral("loop"), QStringLiteral("from"),
                                                  QStringLiteral("step"), QStringLiteral("dry-run")}
                                    : QStringList{QStringLiteral("channels")};
        ok = SequenceCommand(r, parser, q);
    } else if (cmd == QLatin1String("send")) {
        q.kind = K::Send;
        ok = r.arguments(1, {QStringLiteral("HEX...")}, true) && r.bytesFrom(1, &q.data);
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
    parser.addOptions(Options(nullptr));
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("The command and its arguments (see below)."),
                                 QStringLiteral("COMMAND [ARGS...]"));

    const auto usage = [&result](const QString& message) {
        result.text = QStringLiteral("vantorctl: ") + message +
                      QStringLiteral("\nTry 'vantorctl --help' for more information.\n");
        result.exitCode = kExitUsage;
        return result;
    };

    const Arranged arranged = Arrange(arguments);
    if (!arranged.error.isEmpty())
        return usage(arranged.error);
    if (!parser.parse(arranged.arguments)) {
        // Not expected after the checks above; Qt's sentence in the tool's
        // style all the same.
        QString text = parser.errorText();
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (!text.isEmpty())
            text[0] = text.at(0).toLower();
        return usage(text);
    }
    QStringList words = parser.positionalArguments();
    // "help COMMAND" is "COMMAND --help", and "help" alone is "--help".
    bool help = parser.isSet(QStringLiteral("help"));
    if (!words.isEmpty() && words.constFirst() == QLatin1String("help")) {
        help = true;
        words.removeFirst();
    }
    if (help) {
        const CommandHelp* c = words.isEmpty() ? nullptr : FindCommand(words.constFirst());
        if (!words.isEmpty() && !c)
            return usage(QStringLiteral("unknown command '%1'").arg(words.constFirst()));
        result.text = c ? CommandHelpText(*c) : GeneralHelp(parser);
        result.toStdout = true;
        return result;
    }
    if (parser.isSet(QStringLiteral("version"))) {
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
    if (result.global.json && request.outputPath == QLatin1String("-"))
        return usage(QStringLiteral("--json and raw bytes to standard output (-) cannot share it"));
    result.request = request;
    return result;
}
