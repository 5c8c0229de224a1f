#include "SequenceFile.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

using namespace sequence;

namespace sequencefile {

QString Error::text() const
{
    return QStringLiteral("line %1: %2").arg(line).arg(reason);
}

namespace {

// --- A JSON reader that remembers where each value stands ---------------------------
//
// QJsonDocument gives an offset for a syntax error and no position at all for a
// value, and a hand-edited file is best answered with the line to look at. This
// reader keeps the line of every key and value; it knows JSON's grammar and
// nothing else, and stops at the first thing it cannot read.

struct Member;

struct Node
{
    enum class Type
    {
        Null,
        Bool,
        Number,
        String,
        Array,
        Object
    };
    Type type = Type::Null;
    int line = 0;
    bool boolean = false;
    QByteArray literal; // a number as written
    QString text;       // a string's value
    std::vector<Node> items;
    std::vector<Member> members; // in the order of the file
};

struct Member
{
    QString key;
    int line = 0;
    Node value;
};

// Nesting deeper than any sequence needs is refused before it can exhaust the
// stack.
constexpr int kMaxDepth = 32;
// A file larger than this is no sequence anyone wrote.
constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

class Parser
{
public:
    explicit Parser(const QByteArray& text) : mP(text.constData()), mEnd(mP + text.size())
    {
        // An editor's byte order mark is no part of the text.
        if (text.startsWith("\xEF\xBB\xBF"))
            mP += 3;
    }

    bool parse(Node* root, Error* error)
    {
        skipSpace();
        if (mP == mEnd) {
            mLine = 1;
            return fail(QStringLiteral("the file is empty"), error);
        }
        if (!value(root, 0)) {
            *error = mError;
            return false;
        }
        skipSpace();
        if (mP != mEnd)
            return fail(QStringLiteral("%1 after the end of the sequence").arg(found()), error);
        return true;
    }

private:
    bool fail(const QString& reason, Error* error = nullptr)
    {
        mError = {mLine, reason};
        if (error)
            *error = mError;
        return false;
    }

    // What stands at the reading position, for a message.
    QString found() const
    {
        if (mP == mEnd)
            return QStringLiteral("the end of the file");
        const quint8 c = quint8(*mP);
        if (c == '\'')
            return QStringLiteral("\"'\"");
        if (c >= 0x21 && c < 0x7F)
            return QStringLiteral("'%1'").arg(QChar(c));
        return QStringLiteral("byte %1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
    }

    void skipSpace()
    {
        while (mP != mEnd) {
            const char c = *mP;
            if (c == '\n')
                ++mLine;
            else if (c != ' ' && c != '\t' && c != '\r')
                return;
            ++mP;
        }
    }

    bool value(Node* out, int depth)
    {
        skipSpace();
        out->line = mLine;
        if (mP == mEnd)
            return fail(QStringLiteral("a value is missing at the end of the file"));
        switch (*mP) {
        case '{':
            return object(out, depth + 1);
        case '[':
            return array(out, depth + 1);
        case '"':
            out->type = Node::Type::String;
            return string(&out->text);
        case 't':
            out->boolean = true;
            return word("true", Node::Type::Bool, out);
        case 'f':
            return word("false", Node::Type::Bool, out);
        case 'n':
            return word("null", Node::Type::Null, out);
        default:
            if (*mP == '-' || (*mP >= '0' && *mP <= '9'))
                return number(out);
        }
        return fail(QStringLiteral("expected a value, found %1").arg(found()));
    }

    bool word(const char* text, Node::Type type, Node* out)
    {
        const qsizetype n = qsizetype(qstrlen(text));
        if (mEnd - mP < n || qstrncmp(mP, text, size_t(n)) != 0)
            return fail(QStringLiteral("expected a value, found %1").arg(found()));
        mP += n;
        out->type = type;
        return true;
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    bool number(Node* out)
    {
        const char* start = mP;
        if (*mP == '-')
            ++mP;
        if (mP == mEnd || !digit(*mP))
            return fail(QStringLiteral("expected a digit after '-'"));
        if (*mP == '0')
            ++mP;
        else
            while (mP != mEnd && digit(*mP))
                ++mP;
        if (mP != mEnd && *mP == '.') {
            ++mP;
            if (mP == mEnd || !digit(*mP))
                return fail(QStringLiteral("expected a digit after '.'"));
            while (mP != mEnd && digit(*mP))
                ++mP;
        }
        if (mP != mEnd && (*mP == 'e' || *mP == 'E')) {
            ++mP;
            if (mP != mEnd && (*mP == '+' || *mP == '-'))
                ++mP;
            if (mP == mEnd || !digit(*mP))
                return fail(QStringLiteral("expected a digit in the exponent"));
            while (mP != mEnd && digit(*mP))
                ++mP;
        }
        out->type = Node::Type::Number;
        out->literal = QByteArray(start, mP - start);
        return true;
    }

    static int hexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // The four hexadecimal digits of a backslash-u escape.
    bool hex4(int* code)
    {
        for (int i = 0; i < 4; ++i) {
            const int d = mP == mEnd ? -1 : hexDigit(*mP);
            if (d < 0)
                return fail(QStringLiteral("'\\u' needs four hexadecimal digits"));
            *code = *code * 16 + d;
            ++mP;
        }
        return true;
    }

    bool string(QString* out)
    {
        ++mP;           // the opening quote
        QByteArray run; // UTF-8 since the last escape
        for (;;) {
            if (mP == mEnd || *mP == '\n')
                return fail(QStringLiteral("a text in double quotes is not closed on its line"));
            const char c = *mP++;
            if (c == '"')
                break;
            if (quint8(c) < 0x20)
                return fail(QStringLiteral("a control character (byte %1) inside double quotes; "
                                           "write it as an escape")
                                .arg(quint8(c), 2, 16, QLatin1Char('0')));
            if (c != '\\') {
                run.append(c);
                continue;
            }
            if (mP == mEnd)
                return fail(QStringLiteral("a text in double quotes is not closed on its line"));
            const char e = *mP++;
            const char* simple = "\"\\/bfnrt";
            const char* replaced = "\"\\/\b\f\n\r\t";
            if (const char* at = std::strchr(simple, e); at && e != '\0') {
                run.append(replaced[at - simple]);
                continue;
            }
            if (e != 'u')
                return fail(
                    QStringLiteral("unknown escape '\\%1' inside double quotes")
                        .arg(quint8(e) >= 0x21 && quint8(e) < 0x7F ? QChar(e) : QChar('?')));
            int code = 0;
            if (!hex4(&code))
                return false;
            *out += QString::fromUtf8(run);
            run.clear();
            // A character beyond U+FFFF is written as a pair of escapes; half a
            // pair is no character at all.
            if (QChar::isLowSurrogate(char32_t(code)))
                return fail(QStringLiteral("'\\u%1' is the second half of a pair of escapes, "
                                           "without the first")
                                .arg(code, 4, 16, QLatin1Char('0')));
            if (QChar::isHighSurrogate(char32_t(code))) {
                int low = 0;
                if (mEnd - mP < 2 || mP[0] != '\\' || mP[1] != 'u')
                    return fail(QStringLiteral("'\\u%1' is the first half of a pair of escapes, "
                                               "without the second")
                                    .arg(code, 4, 16, QLatin1Char('0')));
                mP += 2;
                if (!hex4(&low))
                    return false;
                if (!QChar::isLowSurrogate(char32_t(low)))
                    return fail(QStringLiteral("'\\u%1' is the first half of a pair of escapes, "
                                               "without the second")
                                    .arg(code, 4, 16, QLatin1Char('0')));
                *out += QChar(char16_t(code));
                *out += QChar(char16_t(low));
                continue;
            }
            *out += QChar(char16_t(code));
        }
        *out += QString::fromUtf8(run);
        return true;
    }

    bool array(Node* out, int depth)
    {
        if (depth > kMaxDepth)
            return fail(
                QStringLiteral("lists and objects nested more than %1 deep").arg(kMaxDepth));
        out->type = Node::Type::Array;
        ++mP;
        skipSpace();
        if (mP != mEnd && *mP == ']') {
            ++mP;
            return true;
        }
        for (;;) {
            Node item;
            if (!value(&item, depth))
                return false;
            out->items.push_back(std::move(item));
            skipSpace();
            if (mP != mEnd && *mP == ',') {
                ++mP;
                continue;
            }
            if (mP != mEnd && *mP == ']') {
                ++mP;
                return true;
            }
            return fail(
                QStringLiteral("expected ',' or ']' after a list item, found %1").arg(found()));
        }
    }

    bool object(Node* out, int depth)
    {
        if (depth > kMaxDepth)
            return fail(
                QStringLiteral("lists and objects nested more than %1 deep").arg(kMaxDepth));
        out->type = Node::Type::Object;
        ++mP;
        skipSpace();
        if (mP != mEnd && *mP == '}') {
            ++mP;
            return true;
        }
        for (;;) {
            skipSpace();
            Member member;
            member.line = mLine;
            if (mP == mEnd || *mP != '"')
                return fail(
                    QStringLiteral("expected a key in double quotes, found %1").arg(found()));
            if (!string(&member.key))
                return false;
            skipSpace();
            if (mP == mEnd || *mP != ':')
                return fail(
                    QStringLiteral("expected ':' after \"%1\", found %2").arg(member.key, found()));
            ++mP;
            if (!value(&member.value, depth))
                return false;
            out->members.push_back(std::move(member));
            skipSpace();
            if (mP != mEnd && *mP == ',') {
                ++mP;
                continue;
            }
            if (mP != mEnd && *mP == '}') {
                ++mP;
                return true;
            }
            return fail(QStringLiteral("expected ',' or '}' after a value, found %1").arg(found()));
        }
    }

    const char* mP;
    const char* mEnd;
    int mLine = 1;
    Error mError;
};

// --- From the values to a sequence ---------------------------------------------------

// A value as a message shows it.
QString Shown(const Node& node)
{
    switch (node.type) {
    case Node::Type::Null:
        return QStringLiteral("null");
    case Node::Type::Bool:
        return node.boolean ? QStringLiteral("true") : QStringLiteral("false");
    case Node::Type::Number:
        return QString::fromLatin1(node.literal);
    case Node::Type::String:
        return QLatin1Char('"') + node.text + QLatin1Char('"');
    case Node::Type::Array:
        return QStringLiteral("a list");
    case Node::Type::Object:
        return QStringLiteral("an object");
    }
    return {};
}

// A whole number written without fraction or exponent, within [min, max].
std::optional<int> Whole(const Node& node, int min, int max)
{
    if (node.type != Node::Type::Number || node.literal.contains('.') ||
        node.literal.contains('e') || node.literal.contains('E') || node.literal.size() > 11)
        return std::nullopt;
    bool ok = false;
    const qint64 v = node.literal.toLongLong(&ok);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return int(v);
}

class Reader
{
public:
    explicit Reader(Error* error) : mError(error) {}

    std::optional<Sequence> sequence(const Node& root)
    {
        if (root.type != Node::Type::Object)
            return refuse(
                root.line,
                QStringLiteral("the file holds %1, not a sequence { ... }").arg(Shown(root)));
        // The format and the version first: a newer file may mean anything
        // by the rest, and may have keys this program does not know.
        const Member* format = find(root, "format");
        if (!format)
            return refuse(root.line, QStringLiteral("no \"format\": not a %1 file").arg(cFormat));
        if (format->value.type != Node::Type::String ||
            format->value.text != QLatin1String(cFormat))
            return refuse(
                format->value.line,
                QStringLiteral("format %1 is not \"%2\"").arg(Shown(format->value), cFormat));
        const Member* version = find(root, "version");
        if (!version)
            return refuse(root.line, QStringLiteral("no \"version\""));
        const std::optional<int> v = Whole(version->value, 1, INT_MAX);
        if (!v)
            return refuse(version->value.line,
                          QStringLiteral("version %1 is not a version number (1 or more)")
                              .arg(Shown(version->value)));
        if (*v > cVersion)
            return refuse(version->value.line,
                          QStringLiteral("version %1 is newer than this program reads (%2)")
                              .arg(*v)
                              .arg(cVersion));

        if (!known(root, {"format", "version", "name", "frames"}, QString()))
            return std::nullopt;

        Sequence s;
        if (const Member* name = find(root, "name")) {
            if (!text(name->value, "name", &s.name))
                return std::nullopt;
        }
        const Member* frames = find(root, "frames");
        if (!frames)
            return refuse(root.line, QStringLiteral("no \"frames\" list"));
        if (frames->value.type != Node::Type::Array)
            return refuse(
                frames->value.line,
                QStringLiteral("\"frames\" is %1, not a list [ ... ]").arg(Shown(frames->value)));
        for (const Node& item : frames->value.items) {
            Frame frame;
            if (!readFrame(item, int(s.frames.size()) + 1, &frame))
                return std::nullopt;
            s.frames.append(frame);
        }
        return s;
    }

private:
    std::nullopt_t refuse(int line, const QString& reason)
    {
        *mError = {line, reason};
        return std::nullopt;
    }

    static const Member* find(const Node& object, const char* key)
    {
        for (const Member& m : object.members) {
            if (m.key == QLatin1String(key))
                return &m;
        }
        return nullptr;
    }

    // Every key is one the format knows, and none comes twice.
    bool known(const Node& object, std::initializer_list<const char*> keys, const QString& where)
    {
        for (size_t i = 0; i < object.members.size(); ++i) {
            const Member& m = object.members[i];
            bool ok = false;
            for (const char* k : keys)
                ok = ok || m.key == QLatin1String(k);
            if (!ok) {
                refuse(m.line, QStringLiteral("unknown key \"%1\"%2").arg(m.key, where));
                return false;
            }
            for (size_t j = 0; j < i; ++j) {
                if (object.members[j].key == m.key) {
                    refuse(m.line, QStringLiteral("\"%1\" is given twice").arg(m.key));
                    return false;
                }
            }
        }
        return true;
    }

    bool text(const Node& node, const char* what, QString* out)
    {
        if (node.type != Node::Type::String) {
            refuse(node.line, QStringLiteral("%1 %2 is not a text in double quotes")
                                  .arg(QLatin1String(what), Shown(node)));
            return false;
        }
        *out = node.text;
        return true;
    }

    bool readFrame(const Node& node, int number, Frame* frame)
    {
        if (node.type != Node::Type::Object) {
            refuse(node.line, QStringLiteral("frame %1 is %2, not an object { ... }")
                                  .arg(number)
                                  .arg(Shown(node)));
            return false;
        }
        if (!known(node, {"name", "speed", "wait", "hold", "channels"},
                   QStringLiteral(" in frame %1").arg(number)))
            return false;
        if (const Member* m = find(node, "name")) {
            if (!text(m->value, "name", &frame->name))
                return false;
        }
        if (const Member* m = find(node, "speed")) {
            const std::optional<int> speed = Whole(m->value, 0, cMaxSpeed);
            if (!speed) {
                refuse(m->value.line,
                       QStringLiteral("speed %1 is not 0-%2").arg(Shown(m->value)).arg(cMaxSpeed));
                return false;
            }
            frame->speed = *speed;
        }
        if (const Member* m = find(node, "wait")) {
            const std::optional<int> ms = Whole(m->value, 0, cMaxMs);
            if (m->value.type == Node::Type::String && m->value.text == QLatin1String("stopped")) {
                frame->wait = Frame::Wait::UntilStopped;
            } else if (ms) {
                frame->wait = Frame::Wait::Fixed;
                frame->waitMs = *ms;
            } else {
                refuse(m->value.line,
                       QStringLiteral("wait %1 is not \"stopped\" or 0-%2 milliseconds")
                           .arg(Shown(m->value))
                           .arg(cMaxMs));
                return false;
            }
        }
        if (const Member* m = find(node, "hold")) {
            const std::optional<int> ms = Whole(m->value, 0, cMaxMs);
            if (!ms) {
                refuse(m->value.line, QStringLiteral("hold %1 is not 0-%2 milliseconds")
                                          .arg(Shown(m->value))
                                          .arg(cMaxMs));
                return false;
            }
            frame->holdMs = *ms;
        }
        if (const Member* m = find(node, "channels"))
            return readChannels(m->value, &frame->pose);
        return true;
    }

    bool readChannels(const Node& node, Pose* pose)
    {
        if (node.type != Node::Type::Object) {
            refuse(node.line,
                   QStringLiteral("\"channels\" is %1, not an object { ... }").arg(Shown(node)));
            return false;
        }
        for (const Member& m : node.members) {
            // Channel numbers as plain decimals: "07" would be a second name
            // for channel 7.
            bool ok = false;
            const int channel = m.key.toInt(&ok, 10);
            const bool canonical = ok && QString::number(channel) == m.key;
            if (!canonical || channel < 1 || channel > cChannels) {
                const QString shown = canonical ? m.key : QLatin1Char('"') + m.key + '"';
                refuse(m.line, QStringLiteral("channel %1 is not 1-%2").arg(shown).arg(cChannels));
                return false;
            }
            if (pose->channels.contains(channel)) {
                refuse(m.line, QStringLiteral("channel %1 is given twice").arg(channel));
                return false;
            }
            const std::optional<int> position = Whole(m.value, 0, cMaxPosition);
            if (position) {
                pose->channels.insert(channel, ServoSetting::at(*position));
            } else if (m.value.type == Node::Type::String && m.value.text == QLatin1String("off")) {
                pose->channels.insert(channel, ServoSetting::off());
            } else {
                refuse(m.value.line, QStringLiteral("channel %1: %2 is not a position 0-%3 or "
                                                    "\"off\"")
                                         .arg(channel)
                                         .arg(Shown(m.value))
                                         .arg(cMaxPosition));
                return false;
            }
        }
        return true;
    }

    Error* mError;
};

// --- Writing -------------------------------------------------------------------------

QByteArray Quoted(const QString& text)
{
    QByteArray out("\"");
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (quint8(c) < 0x20)
                out +=
                    QByteArray("\\u00") + QByteArray::number(quint8(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    return out + '"';
}

QByteArray Wait(const Frame& frame)
{
    return frame.wait == Frame::Wait::Fixed ? QByteArray::number(frame.waitMs)
                                            : QByteArrayLiteral("\"stopped\"");
}

QByteArray Setting(const ServoSetting& s)
{
    return s.on ? QByteArray::number(s.position) : QByteArrayLiteral("\"off\"");
}

// One frame, indented for its place in the file.
QByteArray FrameText(const Frame& f)
{
    QByteArray out;
    out += "    {\n";
    out += "      \"name\": " + Quoted(f.name) + ",\n";
    out += "      \"speed\": " + QByteArray::number(f.speed) + ",\n";
    out += "      \"wait\": " + Wait(f) + ",\n";
    out += "      \"hold\": " + QByteArray::number(f.holdMs) + ",\n";
    if (f.pose.channels.isEmpty()) {
        out += "      \"channels\": {}\n";
    } else {
        out += "      \"channels\": {\n";
        for (auto it = f.pose.channels.cbegin(); it != f.pose.channels.cend(); ++it) {
            out += "        \"" + QByteArray::number(it.key()) + "\": " + Setting(*it);
            out += std::next(it) == f.pose.channels.cend() ? "\n" : ",\n";
        }
        out += "      }\n";
    }
    out += "    }";
    return out;
}

} // namespace

std::optional<Sequence> read(const QByteArray& text, Error* error)
{
    Error ignored;
    Error* e = error ? error : &ignored;
    Node root;
    if (!Parser(text).parse(&root, e))
        return std::nullopt;
    return Reader(e).sequence(root);
}

QByteArray write(const Sequence& sequence)
{
    QByteArray out;
    out += "{\n";
    out += "  \"format\": \"" + QByteArray(cFormat) + "\",\n";
    out += "  \"version\": " + QByteArray::number(cVersion) + ",\n";
    out += "  \"name\": " + Quoted(sequence.name) + ",\n";
    if (sequence.frames.isEmpty()) {
        out += "  \"frames\": []\n";
    } else {
        out += "  \"frames\": [\n";
        for (qsizetype i = 0; i < sequence.frames.size(); ++i)
            out +=
                FrameText(sequence.frames.at(i)) + (i + 1 < sequence.frames.size() ? ",\n" : "\n");
        out += "  ]\n";
    }
    out += "}\n";
    return out;
}

QByteArray writeFrame(const Frame& f)
{
    QByteArray channels;
    for (auto it = f.pose.channels.cbegin(); it != f.pose.channels.cend(); ++it) {
        if (!channels.isEmpty())
            channels += ',';
        channels += '"' + QByteArray::number(it.key()) + "\":" + Setting(*it);
    }
    return "{\"name\":" + Quoted(f.name) + ",\"speed\":" + QByteArray::number(f.speed) +
           ",\"wait\":" + Wait(f) + ",\"hold\":" + QByteArray::number(f.holdMs) +
           ",\"channels\":{" + channels + "}}";
}

std::optional<Sequence> load(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QByteArray text = file.read(kMaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    if (text.size() > kMaxFileSize) {
        if (error)
            *error = QStringLiteral("%1: larger than %2 MiB, no sequence file")
                         .arg(path)
                         .arg(kMaxFileSize / (1024 * 1024));
        return std::nullopt;
    }
    Error e;
    std::optional<Sequence> s = read(text, &e);
    if (!s && error)
        *error = path + QStringLiteral(": ") + e.text();
    return s;
}

bool save(const QString& path, const Sequence& sequence, QString* error)
{
    QSaveFile file(path);
    const QByteArray text = write(sequence);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot save %1: %2")
                         .arg(path, errno ? qt_error_string(errno) : file.errorString());
        return false;
    }
    return true;
}

} // namespace sequencefile
