#include "ControllerLink.h"
#include "LinkWire.h"

#include "app/Module1.h"
#include "settings/PreferClass.h"

#include <algorithm>

using namespace linkwire;

namespace {

// A do-nothing view for a link created without one.
ControllerView& SilentView()
{
    static ControllerView view;
    return view;
}

qint64 SteadyMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

} // namespace

ControllerLink::ControllerLink(PreferClass* pref, ControllerView* view, QObject* parent)
    : QObject(parent), MySerial(new Serial(this)), mPref(pref), mView(view)
{
    // The traffic log needs its line end also where the program's own
    // start-up did not run (tools, tests).
    if (gEOM.isEmpty())
        gEOM = QByteArray(1, '\r');

    MySerial->setBaud(kBaud);
    connect(MySerial, &Serial::dataAvailable, this, &ControllerLink::MySerial_DataAvailable);
    connect(MySerial, &Serial::error, this, &ControllerLink::MySerial_Error);

    SerialBackUpTimer.setInterval(kSerialBackUpPeriod);
    SerialBackUpTimer.setSingleShot(false);
    connect(&SerialBackUpTimer, &QTimer::timeout, this, &ControllerLink::SerialBackUpTimer_Action);

    DirectCommandTimer.setInterval(kDirectCommandPeriod);
    DirectCommandTimer.setSingleShot(true);
    connect(&DirectCommandTimer, &QTimer::timeout, this,
            &ControllerLink::DirectCommandTimer_Action);

    StackTimer.setInterval(kStackPeriod);
    connect(&StackTimer, &QTimer::timeout, this, &ControllerLink::StackTimer_Action);

    // Armed once per exchange, not per byte: when it fires it looks at how
    // long the answer has really been due and waits out the rest.
    ReplyTimer.setSingleShot(true);
    connect(&ReplyTimer, &QTimer::timeout, this, &ControllerLink::ReplyTimer_Action);
    DrainTimer.setSingleShot(true);
    connect(&DrainTimer, &QTimer::timeout, this, &ControllerLink::DrainTimer_Action);
    mClock = SteadyMs;

    // The memory codes must exist before anything can be compared with them:
    // an empty code would match an empty pending command.
    InitCmd();
}

ControllerLink::~ControllerLink()
{
    SerialBackUpTimer.stop();
    DirectCommandTimer.stop();
    StackTimer.stop();
    ReplyTimer.stop();
    DrainTimer.stop();
    // The port closes with its Serial; nothing is shown any more.
    mView = nullptr;
}

PreferClass* ControllerLink::pref() const
{
    return mPref ? mPref : gPref;
}

void ControllerLink::setView(ControllerView* view)
{
    mView = view;
}

void ControllerLink::setReplyTimeout(std::chrono::milliseconds timeout)
{
    mReplyTimeout = std::max(timeout, std::chrono::milliseconds(1));
}

void ControllerLink::setClock(Clock clock)
{
    mClock = clock ? std::move(clock) : Clock(SteadyMs);
}

ControllerView& ControllerLink::v() const
{
    return mView ? *mView : SilentView();
}

// --- Display state ----------------------------------------------------------

void ControllerLink::InitCmd()
{
    cSRAM_READ = Byte(0xF7);
    cSRAM_WRITE = Byte(0xF8);
    cINTROM_READ = Byte(0xB3);
    cINTROM_WRITE = Byte(0xB4);
    cEXTROM_READ = Byte(0xF2);
    cEXTROM_WRITE = Byte(0xF4);
}

void ControllerLink::SetMsg(const QString& text)
{
    mMsg = text;
    v().SetMsg(text);
}

void ControllerLink::SetLog(const QByteArray& readBytes, const QByteArray& writeBytes)
{
    const QString eom = QString::fromLatin1(gEOM);
    QString text;
    if (!readBytes.isEmpty())
        text += QStringLiteral("R: ") + HexStr(readBytes) + eom;
    if (!writeBytes.isEmpty())
        text += QStringLiteral("W: ") + HexStr(writeBytes) + eom;
    if (text.isEmpty())
        return;
    mMcpLog += text;
    emit logAppended(text);
}

void ControllerLink::SetLog(const QString& text)
{
    if (text.isEmpty())
        return;
    const QString line = text + QString::fromLatin1(gEOM);
    mMcpLog += line;
    emit logAppended(line);
}

void ControllerLink::InitPrg(bool visible)
{
    PrgPB.Value = 0;
    PrgPB.Maximum = 0;
    PrgPB.Visible = visible;
    PrgST.Visible = PrgPB.Visible;
    PushProgress();
}

void ControllerLink::PushProgress()
{
    v().ShowProgress(PrgPB, PrgST);
}

void ControllerLink::EnableControllerButtons(bool enable)
{
    v().EnableControllerButtons(enable);
}

void ControllerLink::SetFoceCloseVisible(bool visible)
{
    mFoceCloseVisible = visible;
    v().SetFoceCloseVisible(visible);
}

void ControllerLink::Write(const QByteArray& bytes, Reply reply)
{
    WriteFirst(bytes, reply);
    MySerial->xmitWait();
}

void ControllerLink::WriteFirst(const QByteArray& bytes, Reply reply)
{
    // Nothing written, nothing due: an exchange given no byte to send rests.
    if (bytes.isEmpty())
        return;
    MySerial->write(bytes);
    if (mLogTraffic)
        SetLog(QByteArray(), bytes);
    mLastWritten = bytes.right(1);
    mExpect = reply;
    mAwaiting = true;
    mLastWriteMs = mClock();
    if (!ReplyTimer.isActive())
        ReplyTimer.start(mReplyTimeout);
}

// --- Transmission -----------------------------------------------------------

bool ControllerLink::IsMemoryCode(const QByteArray& cmd) const
{
    return cmd == cSRAM_READ || cmd == cINTROM_READ || cmd == cEXTROM_READ || cmd == cSRAM_WRITE ||
           cmd == cINTROM_WRITE || cmd == cEXTROM_WRITE;
}

bool ControllerLink::MemoryRangeOk(qint64 address, qint64 length)
{
    if (address < 0 || address > kLastAddress || length < 0)
        return false;
    return address + length - 1 <= kLastAddress;
}

void ControllerLink::RbCmdSend(const QByteArray& cmd, const QByteArray& data, qint32 n)
{
    // A memory exchange running past the last address would send wrapped
    // addresses and overwrite the bottom of the controller's memory: refuse
    // it before anything of the pending exchange is touched.
    if (IsMemoryCode(cmd) && !MemoryRangeOk(n, data.size()))
        return;

    // A pending exchange that is replaced ends here, unfinished.
    if (mAwaiting) {
        mAwaiting = false;
        ReplyTimer.stop();
        emit exchangeAbandoned(true);
    }
    ++mExchangeSerial;
    mQuietExchange = std::exchange(mNextExchangeQuiet, false);
    StopDrain();
    mReplies = 0;
    mEchoMismatch = false;

    // 1. Reset the previous exchange.
    mMcpLog.clear();
    mMcpCmd.clear();
    mInfoCtrlr.clear();
    mInfoProg.clear();
    mReadData.clear();
    mWriteData.clear();
    mMcpAddr = 0;
    mMcpStep = 0;
    mMcpFinish = false;
    InitPrg(true);

    // 2. No port was ever chosen: let the user choose one now (not for work
    // in the background, which must never pop a dialog up).
    if ((!pref() || !pref()->mPortInfo) && !mQuietExchange)
        v().ShowPortSettings();

    // 3, 4. Open the link when closed; a failed open reports itself.
    if (!mMcpOpen) {
        mOpenQuietly = mQuietExchange;
        mMcpOpen = RbPortOpen();
        mOpenQuietly = false;
    }
    if (!mMcpOpen) {
        InitPrg(false);
        mLastFailure = LinkFailure{};
        mLastFailure.fault = LinkFault::NotOpened;
        mLastFailure.cmd = cmd;
        mLastFailure.openError = mOpenError;
        if (mOpenError == MySerial->openError())
            mLastFailure.systemText = MySerial->openErrorString();
        emit exchangeFailed(mLastFailure);
        return;
    }

    // 5.
    SetFoceCloseVisible(true);
    EnableControllerButtons(false);
    mMcpCmd = cmd;
    // In a lock-step exchange every reply is taken as the answer to the byte
    // just written: a byte still waiting from before (a late answer to an
    // abandoned exchange, noise on the line) would shift every reply after
    // it. Nothing that arrived before the first byte belongs to this
    // exchange.
    MySerial->discardInput();

    // 6. The first byte of the exchange; the replies write the rest.
    if (cmd == "CONTROLER_INFORMATION" || cmd == "CONTROLER_IDENT") {
        SetMsg(QStringLiteral("コントローラー情報取得中...") + QString::number(MySerial->baud()) +
               QStringLiteral(" baud"));
        PrgPB.Maximum = cmd == "CONTROLER_IDENT" ? 7 : 78;
        PushProgress();
        mMcpEcho = Byte(0xF0);
        WriteFirst(Byte(0xF0), Reply::Echo);
    } else if (cmd == "BREAK") {
        mMcpEcho = Byte(0xF3);
        WriteFirst(mMcpEcho, Reply::Any);
    } else if (cmd == "STOP") {
        mMcpEcho = Byte(0xFA);
        WriteFirst(mMcpEcho, Reply::Any);
    } else if (cmd == "RUN") {
        mMcpEcho = Byte(0xFB);
        WriteFirst(mMcpEcho, Reply::Any);
    } else if (cmd == "RESET") {
        mMcpEcho = Byte(0xFC);
        WriteFirst(mMcpEcho, Reply::Any);
    } else if (cmd == "TRANSMITION" || cmd == "DELETE") {
        // Only the command byte goes now; the data wait in mWriteData.
        mWriteData = data;
        SetLog(QString::fromLatin1(cmd));
        SetLog(QByteArray(), Byte(0xEC));
        mDataSize = qint32(mWriteData.size());
        PrgPB.Maximum = (mDataSize + 127) / 128 + 3;
        PushProgress();
        mMcpEcho = Byte(0xEC);
        // Logged just above, as these commands always are.
        const bool logTraffic = std::exchange(mLogTraffic, false);
        WriteFirst(mMcpEcho, Reply::Echo);
        mLogTraffic = logTraffic;
    } else if (cmd == "STATUS_COMMAND") {
        PrgPB.Maximum = std::max(qint32(data.size()) - 2, 0);
        PushProgress();
        SerialBackUpTimer.start();
        mBackUpPushed.start();
        mWriteData = data.mid(1);
        WriteFirst(data.left(1), Reply::Any);
        emit streamStarted();
    } else if (IsMemoryCode(cmd)) {
        mWriteData = data;
        mMcpAddr = n;
        mDataSize = n + qint32(data.size()) - 1;
        PrgPB.Maximum = qint32(data.size()) * 4;
        PushProgress();
        mMcpCmd = cmd;
        WriteFirst(cmd, Reply::Echo);
    } else {
        RbPortClose(false);
        PrgPB.Visible = false;
        PrgST.Text.clear();
        PushProgress();
        return;
    }

    // 7. The byte has left the port before the command returns.
    MySerial->xmitWait();
}

void ControllerLink::Cmd_Excute(const QByteArray& data, bool allowClose)
{
    // A board job's command is half-way on the line: the controller would
    // take this stream's first byte as part of it. The stream goes out the
    // moment the controller is between commands (within one command), and
    // the job starts its exchange again afterwards. A newer stream replaces
    // one still waiting, as it would replace one on the line.
    if (mAwaiting && mQuietExchange) {
        mDeferred = DeferredStream{data, allowClose};
        return;
    }
    mReadData.clear();
    mMcpFinish = false;
    mAllowClose = allowClose;
    RbCmdSend("STATUS_COMMAND", data);
}

bool ControllerLink::hasDeferredStream() const
{
    return mDeferred.has_value();
}

bool ControllerLink::StartDeferredStream()
{
    if (!mDeferred || mAwaiting)
        return false;
    const DeferredStream stream = *std::exchange(mDeferred, std::nullopt);
    // The job's exchange ends here, between two of the controller's
    // commands; it is started again once the stream is over.
    const bool abandoned = !mMcpCmd.isEmpty() && !mMcpFinish;
    if (abandoned)
        emit exchangeAbandoned(true);
    mNextExchangeQuiet = false;
    Cmd_Excute(stream.data, stream.allowClose);
    return true;
}

// --- Reception --------------------------------------------------------------

void ControllerLink::MySerial_DataAvailable()
{
    // The backup poll is left running: a notification with nothing to read
    // must not end it. A stream's last reply stops it (DoSerialRead).
    DoSerialRead();
}

void ControllerLink::SerialBackUpTimer_Action()
{
    DoSerialRead();
}

void ControllerLink::FinishExchange()
{
    ReplyTimer.stop();
    mAwaiting = false;
    mMcpFinish = true;
    if (mInRead)
        mFinishedPending = true;
    else
        emit mcpFinished();
}

void ControllerLink::DoSerialRead()
{
    // A view callback that runs an event loop could deliver the next data
    // signal while a reply is still being handled. Never recurse: read again
    // once this reply is done.
    if (mInRead) {
        mReadAgain = true;
        return;
    }
    mInRead = true;

    // 1, 2. Everything that has arrived.
    const QByteArray s = MySerial->readAll();
    if (s.isEmpty()) {
        MySerial->poll();
        mInRead = false;
        return;
    }
    if (mLogTraffic)
        SetLog(s, QByteArray());

    // Bytes nobody waits for answer nothing: the drain after a failure, an
    // exchange that rests, a line with no exchange. They are thrown away, so
    // that they cannot pass for the answer to the next byte written.
    if (mDraining)
        mLastNoiseMs = mClock();
    if (mDraining || !mAwaiting) {
        mInRead = false;
        return;
    }
    if (!CheckReply(s)) {
        mInRead = false;
        return;
    }
    const QByteArray last = s;
    mAwaiting = false;
    ++mReplies;

    // 3. Only a byte stream polls; any other exchange needs no backup poll.
    const bool stream = mMcpCmd == "STATUS_COMMAND";
    if (!stream)
        SerialBackUpTimer.stop();

    bool advance = true;
    if (mMcpCmd == "BREAK" || mMcpCmd == "STOP" || mMcpCmd == "RUN" || mMcpCmd == "RESET") {
        // 4. The single-byte commands end on their first reply; a wrong echo
        // only beeps.
        if (last != mMcpEcho) {
            mEchoMismatch = true;
            v().Beep();
        }
        InitPrg(true);
        FinishExchange();
        RbPortClose(false);
        advance = false;
    } else if (stream) {
        // 5. Any reply releases the next byte of the stream.
        mReadData.append(s);
        if (mWriteData.isEmpty()) {
            SerialBackUpTimer.stop();
            InitPrg(true);
            FinishExchange();
            if (mAllowClose)
                RbPortClose(false);
            advance = false;
        } else {
            const QByteArray next = mWriteData.left(1);
            mWriteData.remove(0, 1);
            WriteFirst(next, Reply::Any);
            if (!SerialBackUpTimer.isActive() ||
                mBackUpPushed.hasExpired(kSerialBackUpPushInterval.count())) {
                SerialBackUpTimer.start();
                mBackUpPushed.start();
            }
            MySerial->xmitWait();
        }
    } else if (mMcpCmd == "CONTROLER_INFORMATION" || mMcpCmd == "CONTROLER_IDENT") {
        Receive_CONTROLER_INFORMATION(s);
    } else if (mMcpCmd == "SRAM_CHECKSUM") {
        Receive_SRAM_CHECKSUM(s);
    } else if (mMcpCmd == "PROGRAM_INFORMATION") {
        Receive_PROGRAM_INFORMATION(s);
    } else if (mMcpCmd == "TRANSMITION" || mMcpCmd == "DELETE") {
        Receive_TRANSMITION(last);
    } else if (mMcpCmd == cSRAM_READ) {
        Receive_RAM_READWRITE(s);
    } else if (mMcpCmd == cSRAM_WRITE) {
        Receive_RAM_READWRITE(last);
    } else if (mMcpCmd == cEXTROM_READ || mMcpCmd == cINTROM_READ) {
        Receive_ROM_READ(s);
    } else if (mMcpCmd == cEXTROM_WRITE || mMcpCmd == cINTROM_WRITE) {
        Receive_ROM_WRITE(s);
    }

    // 7. Advance the progress display.
    if (advance) {
        PrgPB.Value += 1;
        if (PrgPB.Maximum == 0)
            PrgST.Text.clear();
        else
            PrgST.Text = CountText(PrgPB.Value, PrgPB.Maximum);
        PushProgress();
    }

    mInRead = false;
    if (mFinishedPending) {
        mFinishedPending = false;
        emit mcpFinished();
        // A stream that waited for this exchange to end goes now, unless a
        // listener has started it already.
        StartDeferredStream();
    }
    if (mReadAgain) {
        mReadAgain = false;
        QTimer::singleShot(0, this, &ControllerLink::DoSerialRead);
    }
}
