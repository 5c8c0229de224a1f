// vantorctl: the controller's commands from a shell, over the same controller
// link as the program's windows. See 'vantorctl --help'.

#include "Arguments.h"
#include "Commands.h"
#include "Session.h"

#include "emulator/VirtualController.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantorctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));

    const Parsed parsed = ParseCommandLine(QCoreApplication::arguments());
    if (!parsed.request) {
        std::fputs(parsed.text.toLocal8Bit().constData(), parsed.toStdout ? stdout : stderr);
        return parsed.exitCode;
    }

    // The built-in virtual controller is the last port, as in the program.
    VirtualController::registerBuiltInPort();
    Session::catchInterrupt();
    const int code = RunRequest(parsed.global, *parsed.request);
    std::fflush(stdout);
    return code;
}
