#include "about/Artwork.h"
#include "app/App.h"
#include "emulator/VirtualController.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

#include <cstdio>
#include <optional>

#include <unistd.h>

namespace {

constexpr int kExitNoDisplay = 1;
constexpr int kExitUsage = 2;

// Options QGuiApplication, QApplication and the X11 display plugin take for
// themselves (-platform offscreen, -style fusion, -display :1, ...). They are
// known to the parser only so that it lets them through; QApplication reads
// them. Qt spells them with one dash or two.
const char* const kQtOptionsWithValue[] = {"platform",
                                           "platformpluginpath",
                                           "platformtheme",
                                           "plugin",
                                           "qwindowgeometry",
                                           "geometry",
                                           "qwindowtitle",
                                           "title",
                                           "qwindowicon",
                                           "icon",
                                           "session",
                                           "display",
                                           "name",
                                           "visual",
                                           "style",
                                           "stylesheet"};
const char* const kQtSwitches[] = {"reverse", "sync",        "nograb",
                                   "dograb",  "widgetcount", "testability"};

// The program's own options are --help and --version; anything else that
// looks like an option and is not Qt's is refused before a window is made.
// Returns the exit code when the program should leave at once.
std::optional<int> ReadCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    // Qt's own options come with a single dash (-platform), so a single-dash
    // word is one option, not a cluster of letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("An on-screen infrared remote for a QMC-4410 servo controller.\n"
                       "Qt's own options (-platform NAME, -style NAME, -display DISPLAY, "
                       "-reverse, ...) are accepted too."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    // --version only: -v means a trace in the other two programs.
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    for (const char* name : kQtOptionsWithValue) {
        QCommandLineOption option(QLatin1String(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtSwitches) {
        QCommandLineOption option{QLatin1String(name)};
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    const auto usage = [](const QString& message) {
        std::fprintf(stderr, "vantor-ir: %s\nTry 'vantor-ir --help' for more information.\n",
                     qPrintable(message));
        return kExitUsage;
    };
    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            // Named as typed, with its dashes.
            QString typed = unknown.constFirst();
            for (const QString& a : arguments.mid(1)) {
                const QString name = a.section(QLatin1Char('='), 0, 0);
                if (name == QLatin1Char('-') + typed || name == QLatin1String("--") + typed) {
                    typed = name;
                    break;
                }
            }
            return usage(QStringLiteral("unknown option '%1'").arg(typed));
        }
        // Qt's sentence in the program's style: lower case, no full stop.
        QString text = parser.errorText();
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (!text.isEmpty())
            text[0] = text.at(0).toLower();
        return usage(text);
    }
    if (parser.isSet(help)) {
        // Qt names the program only once an application object exists.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("vantor-ir"));
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("vantor-ir %s\n", VANTOR_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'")
                         .arg(parser.positionalArguments().constFirst()));
    return std::nullopt;
}

// While QApplication connects to the display, the platform plugin's
// complaints are held back: when it cannot connect, Qt ends the program with
// a fatal message and an abort (status 134, perhaps a core file). This
// handler says so on one line instead and leaves with status 1.
QtMessageHandler gQtHandler = nullptr;
struct HeldBack
{
    QtMsgType type;
    QByteArray category;
    QString text;
};
QList<HeldBack> gHeldBack;

void DisplayMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const bool platform = context.category && qstrncmp(context.category, "qt.qpa", 6) == 0;
    if (type == QtFatalMsg) {
        // The plugin's own words say best what went wrong ("could not
        // connect to display :99", a plugin not found); else the first line
        // of Qt's.
        QString reason = gHeldBack.isEmpty() ? text.section(QLatin1Char('\n'), 0, 0)
                                             : gHeldBack.constFirst().text;
        for (const HeldBack& held : std::as_const(gHeldBack)) {
            if (held.text.contains(QLatin1String("display"), Qt::CaseInsensitive)) {
                reason = held.text;
                break;
            }
        }
        std::fprintf(stderr, "vantor-ir: cannot open a display (%s)\n",
                     reason.trimmed().toLocal8Bit().constData());
        std::fflush(stderr);
        ::_exit(kExitNoDisplay);
    }
    if (platform) {
        gHeldBack.append({type, QByteArray(context.category), text});
        return;
    }
    gQtHandler(type, context, text);
}

// True when nothing tells Qt where a display is: no display variable, no
// platform chosen in the environment or on the command line.
bool NoDisplayNamed(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return false;
    // Qt takes the platform as the word after -platform (or --platform).
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication::setApplicationName(QString::fromLatin1(App::cProgramName));
    QApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));
    // --help and --version answer without a display.
    if (const std::optional<int> code = ReadCommandLine(argc, argv))
        return *code;
    if (NoDisplayNamed(argc, argv)) {
        std::fputs("vantor-ir: cannot open a display (DISPLAY and WAYLAND_DISPLAY are not set; "
                   "QT_QPA_PLATFORM=offscreen runs without one)\n",
                   stderr);
        return kExitNoDisplay;
    }

    gQtHandler = qInstallMessageHandler(DisplayMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(gQtHandler);
    // Connected after all: what the plugin said on the way is still told.
    for (const HeldBack& held : std::as_const(gHeldBack)) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        gQtHandler(held.type, context, held.text);
    }
    gHeldBack.clear();

    // The installed icon theme's icon when there is one (the launcher shows
    // the same), else the drawn one.
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("org.example.VantorIR"), Artwork::AppIcon()));
    // Ties the windows to the installed launcher (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.VantorIR"));
    // The program quits when the remote window closes or on the quit item,
    // never because the splash was the last window on screen for a moment.
    QApplication::setQuitOnLastWindowClosed(false);

    // The built-in virtual controller is the last port the dialog offers.
    VirtualController::registerBuiltInPort();

    App vantor;
    QTimer::singleShot(0, &vantor, &App::Event_Open);
    return QApplication::exec();
}
