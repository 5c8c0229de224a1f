// Where vantorctl's bytes go and come from: -o targets that are no regular file, standard output,
// standard input, and files that cannot be written in full. Mostly against the built-in virtual
// controller, which holds the demo program at every start.
#include "QmcEmulatorProcess.h"
#include "emulator/QmcModel.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QString err;
};

// Runs vantorctl on the built-in virtual controller. Its notice that nothing reaches a board
// (checked where the command line's messages are) is left out of the standard error returned.
Result Vantorctl(const QStringList& args, const std::function<void(QProcess&)>& setUp = {})
{
    QProcess p;
    if (setUp)
        setUp(p);
    p.start(QStringLiteral(VANTORCTL_PATH), QStringList{"--port", "virtual"} + args);
    p.waitForFinished(30000);
    QString err = QString::fromLocal8Bit(p.readAllStandardError());
    const QString notice = QStringLiteral("vantorctl: the port is the built-in virtual controller: "
                                          "nothing reaches a board, and its memory lives for this "
                                          "run only\n");
    if (err.startsWith(notice))
        err.remove(0, notice.size());
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            err};
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

mode_t TypeOf(const QString& path) // of the path itself, not of what a link leads to
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// The demo program's first bytes.
const QByteArray kHead = QmcModel::demoProgram().left(4);

// One output target of a read or program save. In the command "@" stands for the target.
struct Target
{
    const char* target; // a path under /dev/, or "fifo", "link" (to a regular file)
    QStringList command;
    QByteArray stdoutFile = {}; // null: standard output is a pipe; else appended to a file of these
    QByteArray expected = {};   // what the target (standard output for /dev/stdout) holds after
    QString err = {};           // standard error; empty: none at all, and exit code 0 (else 1)
};

// A command whose standard output cannot be written.
struct FullStdout
{
    QStringList command;
};

// A file larger than the file size limit allows, as on a full disk.
struct TooLarge
{
    QStringList command; // "@" stands for the file
};

} // namespace

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
        const auto add = [](const char* name, const Target& row) { QTest::newRow(name) << row; };
        add("/dev/null", {.target = "/dev/null", .command = read});
        add("FIFO", {.target = "fifo", .command = read, .expected = kHead});
        add("link to a file", {.target = "link", .command = read, .expected = kHead});
        add("/dev/stdout, a pipe", {.target = "/dev/stdout", .command = read, .expected = kHead});
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
        const Result r = Vantorctl(command, [&](QProcess& p) {
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
            arrived = row.stdoutFile.isNull() ? r.out : ReadFile(stdoutFile);
        } else if (kind == "link") {
            arrived = ReadFile(file);
            QCOMPARE(QFileInfo(target).symLinkTarget(), file);
        }
        QCOMPARE(arrived.toHex(' '), row.expected.toHex(' '));
        QCOMPARE(TypeOf(target), typeBefore); // a device stays a device, a link a link
    }

    // Standard output that takes nothing (a full disk): every command that prints fails, in the
    // words the GNU tools use, instead of leaving an empty result and exit code 0.
    void fullStandardOutput_data()
    {
        QTest::addColumn<FullStdout>("row");
        QTest::newRow("read, dump") << FullStdout{{"read", "extrom", "0", "4"}};
        QTest::newRow("read -o -") << FullStdout{{"read", "extrom", "0", "4", "-o", "-"}};
        QTest::newRow("info --json") << FullStdout{{"--json", "info"}};
        QTest::newRow("program size") << FullStdout{{"program", "size"}};
        QTest::newRow("program save -") << FullStdout{{"program", "save", "-"}};
        QTest::newRow("ports") << FullStdout{{"ports"}};
        QTest::newRow("--help") << FullStdout{{"--help"}};
    }
    void fullStandardOutput()
    {
        QFETCH(FullStdout, row);
        const Result r = Vantorctl(
            row.command, [](QProcess& p) { p.setStandardOutputFile(QStringLiteral("/dev/full")); });
        QCOMPARE(r.err, "vantorctl: write error: " + qt_error_string(ENOSPC) + "\n");
        QCOMPARE(r.exitCode, 1);
    }

    // A file that cannot be written in full fails the run with the system's reason, and the file
    // that was there keeps its content. Without root: the file size limit of the child fails
    // every write past it, as a full disk would.
    void fileTooLarge_data()
    {
        QTest::addColumn<TooLarge>("row");
        QTest::newRow("read -o") << TooLarge{{"read", "extrom", "0", "200", "-o", "@"}};
        QTest::newRow("program save") << TooLarge{{"program", "save", "@"}};
    }
    void fileTooLarge()
    {
        QFETCH(TooLarge, row);
        const QString file = mDir->filePath("robot.bin");
        const QByteArray old = "the old program\n";
        QVERIFY(WriteFile(file, old));
        QStringList command = row.command;
        command.replaceInStrings(QRegularExpression("^@$"), file);
        const Result r = Vantorctl(command, [](QProcess& p) {
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

    // -i - reads the bytes to write from standard input; a later run reads them back.
    void bytesFromStandardInput()
    {
        QmcEmulatorProcess emu;
        QVERIFY(emu.start());
        const QByteArray bytes = QByteArray::fromHex("AB00FF7E");
        QProcess p;
        p.start(QStringLiteral(VANTORCTL_PATH),
                {"--port", emu.path, "write", "extrom", "100", "-i", "-"});
        QVERIFY(p.waitForStarted());
        p.write(bytes);
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.readAllStandardError(), QByteArray());
        QCOMPARE(p.exitCode(), 0);
        const Result back =
            Vantorctl({"--port", emu.path, "read", "extrom", "100", "4", "-o", "-"});
        QCOMPARE(back.out.toHex(' '), bytes.toHex(' '));
    }
};

QTEST_GUILESS_MAIN(TestVantorctlFiles)
#include "tst_VantorctlFiles.moc"
