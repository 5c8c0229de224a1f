// Linked into every test program: before main() runs, the program gets configuration,
// data and cache folders of its own in a fresh temporary folder, removed when it exits.
// Preferences, program backups and anything vantorctl writes when a test starts it then
// never reach the user's own folders, however the test is run (under CTest or by hand).
#include <QDir>
#include <QTemporaryDir>

namespace {

struct PrivateFolders
{
    QTemporaryDir root{QDir::tempPath() + QStringLiteral("/vantor-test-XXXXXX")};

    PrivateFolders()
    {
        if (!root.isValid())
            qFatal("cannot make a private folder for the test: %s", qPrintable(root.errorString()));
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
            const QString path = root.filePath(QString::fromLatin1(name).toLower());
            QDir().mkpath(path);
            qputenv(name, QFile::encodeName(path));
        }
    }
};

const PrivateFolders gPrivateFolders;

} // namespace
