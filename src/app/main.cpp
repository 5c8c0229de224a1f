#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("VantorController IR"));
    app.setApplicationVersion(QStringLiteral(VANTOR_VERSION));
    return 0;
}
