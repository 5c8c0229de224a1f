#pragma once

#include "ControllerView.h"
#include "LinkFailure.h"
#include "platform/Serial.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class PreferClass;

// The link to the controller: the serial port, the lock-step exchange state
// and every operation that talks to the controller. Widget-free, so the
// controller window, command-line tools, benchmarks and tests all drive the
// same code; what a window would show goes out through a ControllerView.
//
// The protocol is lock-step: the computer writes one byte and writes the next
// only after the controller has answered. Each exchange is a small step
// machine driven by the replies (DoSerialRead and the Receive_ handlers).
// There is one pending exchange at a time and no queue: a new command
// replaces the pending one.
//
// Nothing that comes back is taken on trust. Every byte written is answered
// by exactly one byte; an answer the protocol fixes (the echo of a command,
// address or data byte, the identification) must be that answer; and every
// answer must come within the reply bound. Otherwise the exchange fails: it
// is not finished, nothing it read counts as data, the line is drained until
// it goes quiet, and the failure is reported once (exchangeFailed, and an
// alert unless the exchange was started quietly).
class ControllerLink : public QObject
{
    Q_OBJECT
public:
    // pref is the preferences object whose chosen port and NotAutoDisconnect
    // option the link uses; it must outlive the link. Null means the
    // program's gPref, whichever object it refers to at the time of use.
    // A null view is a silent view.
    explicit ControllerLink(PreferClass* pref, ControllerView* view = nullptr,
                            QObject* parent = nullptr);
    ~ControllerLink() override;

    void setView(ControllerView* view);
    ControllerView* view() const { return mView; }
    PreferClass* pref() const;

    // --- Display state, kept here and pushed to the view ---------------------
    void InitCmd();
    void SetMsg(const QString& text);
    void SetLog(const QByteArray& readBytes, const QByteArray& writeBytes);
    void SetLog(const QString& text);
    void InitPrg(bool visible);
    void EnableControllerButtons(bool enable);
    void SetFoceCloseVisible(bool visible);

    // --- Transmission ----------------------------------------------------------
    void RbCmdSend(const QByteArray& cmd, const QByteArray& data, qint32 n = 0);
    // A byte stream (the remote's keys). While a board job's command is half
    // way on the line it waits for the controller to be between commands.
    void Cmd_Excute(const QByteArray& data, bool allowClose);
    // A stream waits for the command on the line to end.
    bool hasDeferredStream() const;
    // Sends the stream that waits, when no answer is due; true if one went.
    bool StartDeferredStream();

    // --- Reception ---------------------------------------------------------------
    void MySerial_DataAvailable();
    void SerialBackUpTimer_Action();
    void DoSerialRead();
    // The reply bound ran out (also called by tests with their own clock).
    void ReplyTimer_Action();
    // The drain after a failed exchange: ends once the line has been quiet.
    void DrainTimer_Action();

    // The longest wait for one answer. A Bluetooth serial link can hold a
    // byte for several hundred milliseconds, so the default is a second.
    static constexpr std::chrono::milliseconds cDefaultReplyTimeout{1000};
    // How long the line must stay silent before a drain ends. Longer than
    // the controller takes to abandon a half-received command.
    static constexpr std::chrono::milliseconds cQuietPeriod{100};
    void setReplyTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds replyTimeout() const { return mReplyTimeout; }
    // Milliseconds on a monotonic clock; tests and fuzzers give their own.
    using Clock = std::function<qint64()>;
    void setClock(Clock clock);

    // --- Reply handlers ------------------------------------------------------
    void Receive_CONTROLER_INFORMATION(const QByteArray& s);
    void Receive_SRAM_CHECKSUM(const QByteArray& s);
    void Receive_PROGRAM_INFORMATION(const QByteArray& s);
    void Receive_TRANSMITION(const QByteArray& s);
    void Receive_RAM_READWRITE(const QByteArray& s);
    void Receive_ROM_READ(const QByteArray& s);
    void Receive_ROM_WRITE(const QByteArray& s);

    // --- Command set ---------------------------------------------------------
    // The identification handshake alone (F0, 00 and the five answers sent
    // back): whether a controller is on the line, in seven exchanges. It
    // finishes with the controller idle, mInfoCtrlr holding its name.
    void Cmd_IDENTIFY();
    // Each returns false when an argument does not fit the line (a one-byte
    // argument outside 0..255, a memory range outside 0000..FFFF): then
    // nothing is sent and the link is left exactly as it was. True means the
    // exchange was handed to RbCmdSend (which may still fail to open the port).
    bool Cmd_PTP_SET(bool on);
    bool Cmd_IsMOVING();
    bool Cmd_SPEED(qint32 speed);
    bool Cmd_SPEED_V(qint32 value);
    bool Cmd_SERVO_POS_GET(qint32 channel);
    bool Cmd_SERVO_POS_GET_GROUP(qint32 group);
    bool Cmd_SERVO_POS_SET(qint32 channel, qint32 position);
    bool Cmd_SERVO_SET(qint32 channel, bool on);
    // positions: comma-separated decimal numbers, one per channel from first;
    // a missing field is 0, a fraction is truncated, anything else that is
    // not a number rejects the command.
    bool Cmd_SERVO_POS_SET(qint32 first, qint32 count, const QString& positions);
    bool Cmd_SRAM_READ(qint32 address, qint32 length);
    bool Cmd_INTROM_READ(qint32 address, qint32 length);
    bool Cmd_EXTROM_READ(qint32 address, qint32 length);
    bool Cmd_SRAM_WRITE(qint32 address, const QByteArray& data);
    bool Cmd_INTROM_WRITE(qint32 address, const QByteArray& data);
    bool Cmd_EXTROM_WRITE(qint32 address, const QByteArray& data);

    // --- Sequencer and program read-out ----------------------------------------
    void DirectCommandTimer_Action();
    void StackTimer_Action();
    void MyCmd_GET_PROGRAM_CODE();
    void Get_PROGRAM_SIZE();
    void Get_PROGRAM_CODE(qint32 n);

    // --- Connection ------------------------------------------------------------
    bool RbPortOpen();
    void RbPortClose(bool force);
    void MySerial_Error(SerialError error, const QString& text);
    void FoceClose_Action();

    // Whether an error reported while the port is open means the device is
    // gone (unplugged, hung up, node removed): the link cannot go on.
    static bool IsLinkLost(SerialError error);

    // The line that the open-failure alert adds to its explanation: why the
    // system refused the port, in words the user can act on.
    static QString OpenFailureReason(SerialError error, const QString& systemText);

    // Whether [address, address + length - 1] lies within the controller's
    // 16-bit address space (an empty range only needs a valid address).
    static bool MemoryRangeOk(qint64 address, qint64 length);

    // --- Controls --------------------------------------------------------------
    Serial* MySerial = nullptr;
    QTimer SerialBackUpTimer;  // 10 ms, repeating while a byte stream waits
    QTimer DirectCommandTimer; // 500 ms, single shot: the sequencer
    QTimer StackTimer;         // 50 ms: the stall watch (nothing starts it)
    QTimer ReplyTimer;         // the reply bound, while an answer is due
    QTimer DrainTimer;         // the drain after a failed exchange

    // Message line, progress bar, count text and forced-disconnect button, as
    // a window would show them.
    QString mMsg;
    ProgressBarState PrgPB;
    StaticTextState PrgST;
    bool mFoceCloseVisible = false;

    // --- Memory command codes (one byte each, set by InitCmd) ------------------
    QByteArray cSRAM_READ;
    QByteArray cSRAM_WRITE;
    QByteArray cINTROM_READ;
    QByteArray cINTROM_WRITE;
    QByteArray cEXTROM_READ;
    QByteArray cEXTROM_WRITE;

    // --- Exchange state ------------------------------------------------------
    QByteArray mMcpCmd;  // command name, or the memory command code; empty: none
    QByteArray mMcpEcho; // the echo a single-byte command expects
    bool mMcpOpen = false;
    qint32 mMcpStep = 0;
    qint32 mMcpAddr = 0;
    qint32 mDataSize = 0; // memory: last address; TRANSMITION/DELETE: data length
    QByteArray mWriteData;
    QByteArray mReadData;
    bool mMcpFinish = false;
    bool mAllowClose = false;
    QByteArray mInfoCtrlr;
    QByteArray mInfoChecksum;
    QByteArray mInfoProg;
    QString mMcpLog;

    // The port the link opens; null when none is resolved yet.
    SerialPortEntry mSerialPort;

    // Every byte written and read goes into the traffic log (mMcpLog) as "W:"
    // and "R:" lines, for a window that shows it. Off by default: a log line
    // per byte is work no one needs otherwise.
    bool mLogTraffic = false;

    // --- Trust in what comes back -------------------------------------------------
    // The last failed exchange (fault None until one fails).
    LinkFailure mLastFailure;
    // A run-control command (BREAK, STOP, RUN, RESET) was answered with
    // something other than its echo. It still finishes, with a beep.
    bool mEchoMismatch = false;
    // The next exchange started reports its failures through exchangeFailed
    // only, without beep or alert (board jobs that report their own). Applies
    // to one exchange, also to the port opening it does.
    bool mNextExchangeQuiet = false;
    // Counts the exchanges started, so that a caller can tell whether the
    // exchange that finished is the one it started.
    quint64 exchangeSerial() const { return mExchangeSerial; }
    // After a failed exchange every byte is thrown away until the line has
    // been quiet for cQuietPeriod (on a closed port this is a plain wait).
    bool isDraining() const { return mDraining; }
    // A byte has been written and its answer is due.
    bool exchangeInFlight() const { return mAwaiting; }

    // --- Sequencer state -------------------------------------------------------
    QString mDirCmd;
    qint32 mDirStep = 0;
    qint32 mPrevProgValue = 0;
    qint32 mSameCount = 0;
    qint32 mStackCheckType = 0;

signals:
    // An exchange has completed (mMcpFinish became true). Emitted once the
    // reply that completed it has been fully handled, so a listener may start
    // the next command at once.
    void mcpFinished();
    // The device went away while the link was open; the link has been
    // closed and the exchange in progress (if any) ended unfinished.
    void linkLost();
    // An exchange failed (also a port that would not open for a command):
    // the link has already ended it, closed the port or started the drain.
    void exchangeFailed(const LinkFailure& failure);
    // A pending exchange ended without finishing or failing: another command
    // replaced it (replaced), or the link was closed under it. Emitted while
    // exchangeSerial() still names the abandoned exchange.
    void exchangeAbandoned(bool replaced);
    // A drain has ended: the line is quiet again.
    void lineQuiet();
    // Text was appended to the traffic log (lines ending in 0D).
    void logAppended(const QString& text);
    // A stream's first byte went out (a remote key, a servo command).
    void streamStarted();

private:
    // What the answer to a byte written must be.
    enum class Reply
    {
        Any,  // data, or a byte of a stream: any one byte
        Echo, // the byte itself
        Name, // one printable character of the controller's name
    };

    ControllerView& v() const;
    void PushProgress();
    void Write(const QByteArray& bytes, Reply reply = Reply::Echo);
    // The first byte of an exchange, written by RbCmdSend.
    void WriteFirst(const QByteArray& bytes, Reply reply);
    // Checks one read against what the byte written fixes; false when the
    // exchange has been failed.
    bool CheckReply(const QByteArray& s);
    void FailExchange(LinkFault fault, const QByteArray& received = {},
                      const QString& expectedText = {});
    void ReportFailure(const LinkFailure& failure);
    void StartDrain();
    void StopDrain();
    void FinishExchange();
    bool WriteReadAddressStep();
    void NextAddressOrFinish(const QByteArray& s);
    bool IsMemoryCode(const QByteArray& cmd) const;
    bool StartMemoryRead(const QByteArray& code, qint32 address, qint32 length);
    bool StartMemoryWrite(const QByteArray& code, qint32 address, const QByteArray& data);
    bool StartDirect(const QByteArray& bytes);

    PreferClass* mPref = nullptr;
    ControllerView* mView = nullptr;
    bool mInRead = false;          // DoSerialRead is running
    bool mReadAgain = false;       // data signalled while it ran
    bool mFinishedPending = false; // emit mcpFinished when the read is done
    QElapsedTimer mBackUpPushed;   // when a stream last pushed its backup poll back

    Clock mClock;
    std::chrono::milliseconds mReplyTimeout = cDefaultReplyTimeout;
    bool mAwaiting = false; // a byte was written and its answer is due
    Reply mExpect = Reply::Any;
    QByteArray mLastWritten;     // the byte whose answer is due
    qint64 mLastWriteMs = 0;     // when it was written, on mClock
    qint32 mReplies = 0;         // answers this exchange has taken
    bool mQuietExchange = false; // the exchange in progress reports without alerts
    bool mOpenQuietly = false;   // RbPortOpen for a quiet exchange: no alert, nothing forgotten
    struct DeferredStream
    {
        QByteArray data;
        bool allowClose = false;
    };
    std::optional<DeferredStream> mDeferred;    // a stream waiting for a command boundary
    SerialError mOpenError = SerialError::None; // why the last RbPortOpen failed
    bool mDraining = false;
    qint64 mLastNoiseMs = 0; // when the drain last threw a byte away
    quint64 mExchangeSerial = 0;
};
