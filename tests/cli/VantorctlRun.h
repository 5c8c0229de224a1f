#pragma once

// vantorctl as a shell runs it, for the command-line tests. The test target defines
// VANTORCTL_PATH.
#include <QFile>
#include <QProcess>

#include <functional>

struct Result
{
    int exitCode = -1; // -1: ended by a signal, or killed after it hung
    QByteArray out;
    QString err;
};

// One run; `setUp` prepares the process (working folder, environment, standard streams).
inline Result Vantorctl(const QStringList& args, const std::function<void(QProcess&)>& setUp = {})
{
    QProcess p;
    if (setUp)
        setUp(p);
    p.start(QStringLiteral(VANTORCTL_PATH), args);
    if (!p.waitForFinished(30000)) {
        // A run that hangs is a failure, never an exit code of 0.
        p.kill();
        p.waitForFinished();
        return {-1, p.readAllStandardOutput(),
                QStringLiteral("vantorctl did not finish within 30 s\n") +
                    QString::fromLocal8Bit(p.readAllStandardError())};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

inline bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// What every run on a port but `send` begins with: the identification handshake (F0, 00, and the
// first five characters of the controller's name QM4410 sent back).
inline const QByteArray kProbe = QByteArray::fromHex("F000514D343431");

// What a run on the built-in virtual controller says first on standard error.
inline const QString kVirtualNotice =
    QStringLiteral("vantorctl: the port is the built-in virtual controller: nothing reaches a "
                   "board, and its memory lives for this run only\n");
