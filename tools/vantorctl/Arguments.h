#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

class QCommandLineParser;

// Exit codes of vantorctl, also listed in --help and the README.
constexpr int kExitOk = 0;
constexpr int kExitFault = 1;         // the controller failed: timeout, wrong echo, device lost
constexpr int kExitUsage = 2;         // bad command line; nothing was sent
constexpr int kExitPort = 3;          // the port cannot be opened
constexpr int kExitInterrupted = 130; // Ctrl-C (128 + SIGINT), as shells report it

// The controller's three memories (Memory, MemoryName) are named on the
// command line as the core names them.
#include "link/BoardJobs.h"

// Options every command accepts, before or after the command word.
struct GlobalOptions
{
    QString port;         // empty: the port saved in the preferences
    int timeoutMs = 1000; // per reply: the link's reply bound
    bool json = false;
    bool trace = false;
};

// One command with its arguments checked and converted.
struct Request
{
    enum class Kind
    {
        Ports,
        Info,
        Read,
        Write,
        ProgramSize,
        ProgramSave,
        ProgramLoad,
        ProgramVerify,
        ServoGet,
        ServoGroup,
        ServoSet,
        ServoSetMany,
        ServoOn,
        ServoOff,
        ServoWatch,
        Speed,
        SpeedV,
        Ptp,
        Moving,
        Run,
        Stop,
        Break,
        Reset,
        Key,
        Send,
        Play,
        Pose
    };

    Kind kind = Kind::Ports;
    QString title; // the command as typed, for messages ("read extrom")
    Memory memory = Memory::Sram;
    qint32 address = 0;
    qint32 length = 0;
    QByteArray data;    // write, key and send bytes; program load and verify: the image
    QString inputPath;  // program load and verify: the FILE given
    QString outputPath; // read -o, program save FILE; "-" is standard output
    bool verify = false;
    qint32 channel = 0; // also the servo group, the speed and the first channel
    qint32 position = 0;
    qint32 count = 0;  // channels set by "servo set FIRST POS,POS,..."
    QString positions; // the comma-separated positions as given
    bool on = false;
    QList<int> groups;     // servo watch: the groups, 1-8
    qint32 intervalMs = 0; // servo watch: the shortest time between two refreshes
    // play FILE (inputPath): passes (0: for ever), the frame each starts at
    // (a number from 1 or a name, checked against the file), one frame alone,
    // or only printed.
    qint32 loops = 1;
    QString fromFrame;
    bool step = false;
    bool dryRun = false;
    QList<int> channels; // pose: the channels to read, 1-48
};

// The result of reading the command line: a request, or what to print and
// the exit code to leave with (help, version, usage errors).
struct Parsed
{
    GlobalOptions global;
    std::optional<Request> request;
    QString text; // printed before leaving when there is no request
    bool toStdout = false;
    int exitCode = kExitOk;
};

Parsed ParseCommandLine(const QStringList& arguments);

// Number readers shared with tests of the command line: hexadecimal with or
// without 0x, and decimal (or 0x hexadecimal) counts.
std::optional<qint64> ParseHex(const QString& text);
std::optional<qint64> ParseCount(const QString& text);
