// vantor-ir's command line as a shell sees it: the built program, started
// with and without a display.
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

namespace {

// One start of vantor-ir. Every row starts without a display (DISPLAY,
// WAYLAND_DISPLAY and QT_QPA_PLATFORM unset), then sets `env`; "@" in a
// value stands for an X display number no server answers on.
struct Start
{
    QStringList args;
    QStringList env = {}; // NAME=VALUE
    int exitCode = 0;     // -1: still running after two seconds (a window was made)
    QByteArray out = {};  // the start of standard output; null: nothing at all
    QString err = {};     // standard error, exactly (prefix when errPrefix)
    bool errPrefix = false;
};

QString UnusedDisplay()
{
    for (int n = 99;; ++n) {
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) &&
            !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            return QStringLiteral(":%1").arg(n);
    }
}

const QString kTry = QStringLiteral("\nTry 'vantor-ir --help' for more information.\n");

} // namespace

Q_DECLARE_METATYPE(Start)

class TestAppCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void starts_data()
    {
        QTest::addColumn<Start>("row");
        const auto add = [](const char* name, const Start& row) { QTest::newRow(name) << row; };
        // Its own options answer without a display.
        add("help", {.args = {"--help"}, .out = "Usage: vantor-ir [options]\n"});
        add("version", {.args = {"--version"}, .out = "vantor-ir " VANTOR_VERSION "\n"});
        // Usage errors: status 2, before any display is asked for.
        add("unknown long option", {.args = {"--bogus"},
                                    .exitCode = 2,
                                    .err = "vantor-ir: unknown option '--bogus'" + kTry});
        add("argument", {.args = {"robot.bin"},
                         .exitCode = 2,
                         .err = "vantor-ir: unexpected argument 'robot.bin'" + kTry});
        add("Qt option without its value",
            {.args = {"-platform"},
             .exitCode = 2,
             .err = "vantor-ir: missing value after '-platform'" + kTry});
        // No display: one line and status 1, never an abort.
        add("no display named",
            {.args = {},
             .exitCode = 1,
             .err = "vantor-ir: cannot open a display (DISPLAY and WAYLAND_DISPLAY are not set; "
                    "QT_QPA_PLATFORM=offscreen runs without one)\n"});
        add("X display that is not there",
            {.args = {},
             .env = {"QT_QPA_PLATFORM=xcb", "DISPLAY=@"},
             .exitCode = 1,
             .err = "vantor-ir: cannot open a display (could not connect to display @)\n"});
        add("platform plugin that does not exist",
            {.args = {},
             .env = {"QT_QPA_PLATFORM=nonesuch"},
             .exitCode = 1,
             .err = "vantor-ir: cannot open a display (Could not find the Qt platform plugin "
                    "\"nonesuch\"",
             .errPrefix = true});
        // Qt's own options still reach Qt, with one dash or two: --platform on the command line
        // alone gives it a display to start on.
        add("Qt's -style, -reverse and --platform",
            {.args = {"-style", "fusion", "-reverse", "--platform", "offscreen"}, .exitCode = -1});
    }
    void starts()
    {
        QFETCH(Start, row);
        const QString display = UnusedDisplay();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        for (const QString& pair : row.env)
            env.insert(pair.section('=', 0, 0), pair.section('=', 1).replace('@', display));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VANTOR_IR_PATH), row.args);
        QVERIFY(p.waitForStarted(10000));

        if (row.exitCode < 0) {
            QVERIFY2(!p.waitForFinished(2000), p.readAllStandardError().constData());
            p.kill();
            QVERIFY(p.waitForFinished(10000));
            return;
        }
        QVERIFY(p.waitForFinished(30000));
        const QByteArray out = p.readAllStandardOutput();
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QCOMPARE(p.exitStatus(), QProcess::NormalExit); // no abort, no core
        QCOMPARE(p.exitCode(), row.exitCode);
        QString wanted = row.err;
        wanted.replace('@', display);
        if (row.errPrefix) {
            QVERIFY2(err.startsWith(wanted), qPrintable(err));
            QCOMPARE(err.count('\n'), 1);
        } else {
            QCOMPARE(err, wanted);
        }
        if (row.out.isNull())
            QCOMPARE(out, QByteArray());
        else
            QVERIFY2(out.startsWith(row.out), out.constData());
    }
};

QTEST_GUILESS_MAIN(TestAppCommandLine)
#include "tst_AppCommandLine.moc"
