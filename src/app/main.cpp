#include "about/Artwork.h"
#include "app/App.h"
#include "emulator/VirtualController.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(App::cProgramName));
    QApplication::setApplicationVersion(QStringLiteral(VANTOR_VERSION));
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
