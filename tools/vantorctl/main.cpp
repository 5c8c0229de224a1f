// vantorctl: the controller's commands from a shell, over the same controller
// link as the program's windows. See 'vantorctl --help'.

#include "Arguments.h"
#include "Commands.h"
#include "Output.h"

#include "emulator/VirtualController.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

// Everything written to standard output must have arrived: a full disk or a
// closed terminal fails the run, in the words the GNU tools use.
int AfterStdout(int code)
{
    const int error = FinishStdout();
    if (error == 0)
        return code;
    std::fprintf(stderr, "vantorctl: write error: %s\n", qPrintable(qt_error_string(error)));
    return code == kExitOk ? kExitFault : code;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantorctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));
    // A file that outgrows the size limit fails its write (EFBIG), reported
    // like any other failed write, instead of ending the run by a signal.
    std::signal(SIGXFSZ, SIG_IGN);

    const Parsed parsed = ParseCommandLine(QCoreApplication::arguments());
    if (!parsed.request) {
        if (!parsed.toStdout) {
            std::fputs(parsed.text.toLocal8Bit().constData(), stderr);
            return parsed.exitCode;
        }
        PrintText(parsed.text);
        return AfterStdout(parsed.exitCode);
    }

    // The built-in virtual controller is the last port, as in the program.
    VirtualController::registerBuiltInPort();
    return AfterStdout(RunRequest(parsed.global, *parsed.request));
}
