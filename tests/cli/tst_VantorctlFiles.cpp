// Where vantorctl's bytes go: -o targets that are no regular file, standard output, and files
// and standard output that cannot take them in full. Against the built-in virtual controller,
// which holds the demo program at every start.
#include "VantorctlRun.h"
#include "emulator/QmcModel.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Runs vantorctl on the built-in virtual controller; its notice that nothing reaches a board is
// left out of the standard error returned.
Result OnVirtual(const QStringList& args, const std::function<void(QProcess&)>& setUp = {})
{
    Result r = Vantorctl(QStringList{"--port", "virtual"} + args, setUp);
    if (r.err.startsWith(kVirtualNotice))
        r.err.remove(0, kVirtualNotice.size());
    return r;
}

mode_t TypeOf(const QString& path) // of the path itself, not of what a link leads to
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// One output target of a read or program save. In the command "@" stands for the target.
struct Target
{
    const char* target; // a path under /dev/, or "fifo", "link" (to a regular file)
    QStringList command;
    QByteArray stdoutFile = {}; // null: standard output is a pipe; else appended to a file of these
    QByteArray expected = {};   // what the target (standard output for /dev/stdout) holds after
    QString err = {};           // standard error; empty: none at all, and exit code 0 (else 1)
};

} // namespace
Q_DECLARE_METATYPE(Target)

class TestVantorctlFiles : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> mDir;

private slots:
    void init() { mDir = std::make_unique<QTemporaryDir>(); }

    // Targets that exist and are no regular file are written into, never replaced; a link stays a
    // link; standard output named by path keeps what it holds.
    void targets_data()
    {
        QTest::addColumn<Target>("row");
        const QStringList read{"read", "extrom", "0", "4", "-o", "@"};
        const QByteArray head = QmcModel::demoProgram().left(4);
        const auto add = [](const char* name, const Target& row) { QTest::newRow(name) << row; };
        add("FIFO", {.target = "fifo", .command = read, .expected = head});
        add("link to a file", {.target = "link", .command = read, .expected = head});
        add("/dev/stdout, appended to a file, then JSON",
            {.target = "/dev/stdout",
             .command = {"program", "save", "@", "--json"},
             .stdoutFile = "head\n",
             .expected = "head\n" + QmcModel::demoProgram() +
                         "{\"file\":\"/dev/stdout\",\"programSize\":51}\n"});
        add("/dev/full",
            {.target = "/dev/full",
             .command = read,
             .err = "vantorctl: cannot write '/dev/full': " + qt_error_string(ENOSPC) + "\n"});
    }
    void targets()
    {
        QFETCH(Target, row);
        const QString kind = row.target;
        const QString file = mDir->filePath("file.bin");
        const QString target = kind.startsWith('/') ? kind : mDir->filePath(kind);
        int reader = -1;
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
            reader = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_NONBLOCK);
            QVERIFY(reader >= 0);
        } else if (kind == "link") {
            QVERIFY(WriteFile(file, "old content, longer than the new\n"));
            QVERIFY(QFile::link(file, target));
        }
        const mode_t typeBefore = TypeOf(target);
        const QString stdoutFile = mDir->filePath("stdout.txt");
        if (!row.stdoutFile.isNull())
            QVERIFY(WriteFile(stdoutFile, row.stdoutFile));

        QStringList command = row.command;
        command.replaceInStrings(QRegularExpression("^@$"), target);
        const Result r = OnVirtual(command, [&](QProcess& p) {
            if (!row.stdoutFile.isNull())
                p.setStandardOutputFile(stdoutFile, QIODevice::Append);
        });
        QCOMPARE(r.err, row.err);
        QCOMPARE(r.exitCode, row.err.isEmpty() ? 0 : 1);

        QByteArray arrived;
        if (kind == "fifo") {
            char buf[256];
            const ssize_t n = ::read(reader, buf, sizeof buf);
            ::close(reader);
            arrived = n > 0 ? QByteArray(buf, n) : QByteArray();
        } else if (kind == "/dev/stdout") {
            arrived = ReadFile(stdoutFile);
        } else if (kind == "link") {
            arrived = ReadFile(file);
            QCOMPARE(QFileInfo(target).symLinkTarget(), file);
        }
        QCOMPARE(arrived.toHex(' '), row.expected.toHex(' '));
        QCOMPARE(TypeOf(target), typeBefore); // a device stays a device, a link a link
    }

    // Standard output that takes nothing (a full disk): a command that prints text, JSON or raw
    // bytes, or the help, fails in the words the GNU tools use, instead of leaving an empty
    // result and exit code 0.
    void fullStandardOutput_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::newRow("read, dump") << QStringList{"read", "extrom", "0", "4"};
        QTest::newRow("read -o -") << QStringList{"read", "extrom", "0", "4", "-o", "-"};
        QTest::newRow("info --json") << QStringList{"--json", "info"};
        QTest::newRow("--help") << QStringList{"--help"};
    }
    void fullStandardOutput()
    {
        QFETCH(QStringList, command);
        const Result r = OnVirtual(
            command, [](QProcess& p) { p.setStandardOutputFile(QStringLiteral("/dev/full")); });
        QCOMPARE(r.err, "vantorctl: write error: " + qt_error_string(ENOSPC) + "\n");
        QCOMPARE(r.exitCode, 1);
    }

    // A file that cannot be written in full fails the run with the system's reason, and the file
    // that was there keeps its content. Without root: the file size limit of the child fails
    // every write past it, as a full disk would.
    void fileTooLarge()
    {
        const QString file = mDir->filePath("robot.bin");
        const QByteArray old = "the old program\n";
        QVERIFY(WriteFile(file, old));
        const Result r = OnVirtual({"program", "save", file}, [](QProcess& p) {
            p.setChildProcessModifier([] {
                const rlimit small{32, 32}; // below the 51 bytes of the program
                ::setrlimit(RLIMIT_FSIZE, &small);
                ::signal(SIGXFSZ, SIG_IGN);
            });
        });
        QCOMPARE(r.err, "vantorctl: cannot write '" + file + "': " + qt_error_string(EFBIG) + "\n");
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(ReadFile(file), old);
        QCOMPARE(QDir(mDir->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"robot.bin"}); // no temporary file left behind
    }
};

QTEST_GUILESS_MAIN(TestVantorctlFiles)
#include "tst_VantorctlFiles.moc"
