#include "ControllerLink.h"

#include "app/Module1.h"
#include "settings/PreferClass.h"

#include <QStringList>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

using namespace std::chrono_literals;

namespace {

// Backup poll for a reply while a byte stream waits. Replies are normally
// handled the moment the port signals them; this only catches data that
// arrived without a signal.
constexpr auto kSerialBackUpPeriod = 10ms;
// A stream pushes its backup poll back after a byte only when it last did so
// longer ago than this: on a fast line that spares restarting the timer for
// every byte, on a slow one the poll still never comes due between replies.
constexpr auto kSerialBackUpPushInterval = 1ms;
// The sequencer looks at the pending exchange this often.
constexpr auto kDirectCommandPeriod = 500ms;
// Stall watch over the progress display.
constexpr auto kStackPeriod = 50ms;

// The only line speed the controller speaks.
constexpr qint32 kBaud = 9600;

// Highest controller address: addresses go on the line as two bytes.
constexpr qint64 kLastAddress = 0xFFFF;

// Last address of the program header in external ROM, which the
// identification reads after the checksum.
constexpr qint32 kProgramHeaderLast = 0x000F;

QByteArray Byte(int value)
{
    return QByteArray(1, char(value));
}

bool IsByteValue(qint64 value)
{
    return value >= 0 && value <= 255;
}

// "value/maximum" for the count beside the progress bar. Built on the stack
// with one allocation: it is redone for every reply of a stream.
QString CountText(qint32 value, qint32 maximum)
{
    char buf[24];
    char* end = std::to_chars(buf, buf + 11, value).ptr;
    *end++ = '/';
    end = std::to_chars(end, end + 11, maximum).ptr;
    return QString::fromLatin1(buf, end - buf);
}

// A do-nothing view for a link created without one.
ControllerView& SilentView()
{
    static ControllerView view;
    return view;
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

    // The memory codes must exist before anything can be compared with them:
    // an empty code would match an empty pending command.
    InitCmd();
}

ControllerLink::~ControllerLink()
{
    SerialBackUpTimer.stop();
    DirectCommandTimer.stop();
    StackTimer.stop();
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
    if (!readBytes.isEmpty())
        mMcpLog += QStringLiteral("R: ") + HexStr(readBytes) + eom;
    if (!writeBytes.isEmpty())
        mMcpLog += QStringLiteral("W: ") + HexStr(writeBytes) + eom;
}

void ControllerLink::SetLog(const QString& text)
{
    if (!text.isEmpty())
        mMcpLog += text + QString::fromLatin1(gEOM);
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

void ControllerLink::Write(const QByteArray& bytes)
{
    MySerial->write(bytes);
    MySerial->xmitWait();
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

    // 2. No port was ever chosen: let the user choose one now.
    if (!pref() || !pref()->mPortInfo)
        v().ShowPortSettings();

    // 3, 4. Open the link when closed; a failed open reports itself.
    if (!mMcpOpen)
        mMcpOpen = RbPortOpen();
    if (!mMcpOpen) {
        InitPrg(false);
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
    if (cmd == "CONTROLER_INFORMATION") {
        SetMsg(QStringLiteral("コントローラー情報取得中...") + QString::number(MySerial->baud()) +
               QStringLiteral(" baud"));
        PrgPB.Maximum = 78;
        PushProgress();
        mMcpEcho = Byte(0xF0);
        MySerial->write(Byte(0xF0));
    } else if (cmd == "BREAK") {
        mMcpEcho = Byte(0xF3);
        MySerial->write(mMcpEcho);
    } else if (cmd == "STOP") {
        mMcpEcho = Byte(0xFA);
        MySerial->write(mMcpEcho);
    } else if (cmd == "RUN") {
        mMcpEcho = Byte(0xFB);
        MySerial->write(mMcpEcho);
    } else if (cmd == "RESET") {
        mMcpEcho = Byte(0xFC);
        MySerial->write(mMcpEcho);
    } else if (cmd == "TRANSMITION" || cmd == "DELETE") {
        // Only the command byte goes now; the data wait in mWriteData.
        mWriteData = data;
        SetLog(QString::fromLatin1(cmd));
        SetLog(QByteArray(), Byte(0xEC));
        mDataSize = qint32(mWriteData.size());
        PrgPB.Maximum = (mDataSize + 127) / 128 + 3;
        PushProgress();
        mMcpEcho = Byte(0xEC);
        MySerial->write(mMcpEcho);
    } else if (cmd == "STATUS_COMMAND") {
        PrgPB.Maximum = std::max(qint32(data.size()) - 2, 0);
        PushProgress();
        SerialBackUpTimer.start();
        mBackUpPushed.start();
        mWriteData = data.mid(1);
        MySerial->write(data.left(1));
    } else if (IsMemoryCode(cmd)) {
        mWriteData = data;
        mMcpAddr = n;
        mDataSize = n + qint32(data.size()) - 1;
        PrgPB.Maximum = qint32(data.size()) * 4;
        PushProgress();
        mMcpCmd = cmd;
        MySerial->write(cmd);
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
    mReadData.clear();
    mMcpFinish = false;
    mAllowClose = allowClose;
    RbCmdSend("STATUS_COMMAND", data);
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

    // 1, 2. One read of everything that has arrived is one reply.
    const QByteArray s = MySerial->readAll();
    if (s.isEmpty()) {
        MySerial->poll();
        mInRead = false;
        return;
    }
    const QByteArray last = s.right(1);

    // 3. Only a byte stream polls; any other exchange needs no backup poll.
    const bool stream = mMcpCmd == "STATUS_COMMAND";
    if (!stream)
        SerialBackUpTimer.stop();

    bool advance = true;
    if (mMcpCmd == "BREAK" || mMcpCmd == "STOP" || mMcpCmd == "RUN" || mMcpCmd == "RESET") {
        // 4. The single-byte commands end on their first reply, echo or not.
        if (last != mMcpEcho)
            v().Beep();
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
            MySerial->write(next);
            if (!SerialBackUpTimer.isActive() ||
                mBackUpPushed.hasExpired(kSerialBackUpPushInterval.count())) {
                SerialBackUpTimer.start();
                mBackUpPushed.start();
            }
            MySerial->xmitWait();
        }
    } else if (mMcpCmd == "CONTROLER_INFORMATION") {
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
    }
    if (mReadAgain) {
        mReadAgain = false;
        QTimer::singleShot(0, this, &ControllerLink::DoSerialRead);
    }
}

// --- Reply handlers ---------------------------------------------------------

void ControllerLink::Receive_CONTROLER_INFORMATION(const QByteArray& s)
{
    // The handshake after F0: a 00, then the controller's five answers are
    // sent back to it one by one; the six answers identify it.
    if (mMcpStep == 0) {
        mMcpStep = 1;
        Write(Byte(0x00));
    } else if (mMcpStep >= 1 && mMcpStep <= 5) {
        mInfoCtrlr.append(s);
        mMcpStep += 1;
        Write(s);
    } else if (mMcpStep == 6) {
        // Then the program checksum at static RAM 04F2..04F3.
        mInfoCtrlr.append(s);
        mInfoChecksum.clear();
        mMcpStep = 0;
        mMcpAddr = 0x04F2;
        mMcpCmd = "SRAM_CHECKSUM";
        Write(cSRAM_READ);
    }
}

void ControllerLink::Receive_SRAM_CHECKSUM(const QByteArray& s)
{
    switch (mMcpStep) {
    case 0:
        mMcpStep = 1;
        Write(IntToChrLow(mMcpAddr));
        break;
    case 1:
        mMcpStep = 2;
        Write(IntToChrHigh(mMcpAddr));
        break;
    case 2:
        mMcpStep = 3;
        Write(Byte(0x00));
        break;
    case 3:
        mInfoChecksum.append(s);
        mMcpAddr += 1;
        if (mMcpAddr <= 0x04F3) {
            mMcpStep = 0;
            Write(cSRAM_READ);
        } else {
            // Last, the program information request.
            mInfoProg.clear();
            mMcpStep = 0;
            mMcpAddr = 0;
            mMcpCmd = "PROGRAM_INFORMATION";
            Write(cEXTROM_READ);
        }
        break;
    default:
        break;
    }
}

void ControllerLink::Receive_PROGRAM_INFORMATION(const QByteArray& s)
{
    // The program header: external ROM 0000..000F (the size sits at
    // 000E..000F), read address by address like any external-ROM read. The
    // chain ends once the header is in, so the controller is never left in
    // the middle of the read that the F2 began.
    switch (mMcpStep) {
    case 0:
        mMcpStep = 1;
        Write(IntToChrLow(mMcpAddr));
        break;
    case 1:
        mMcpStep = 2;
        Write(IntToChrHigh(mMcpAddr));
        break;
    case 2:
        mMcpStep = 3;
        Write(Byte(0x00));
        break;
    case 3:
        mInfoProg.append(s);
        if (mMcpAddr < kProgramHeaderLast) {
            mMcpAddr += 1;
            mMcpStep = 0;
            Write(cEXTROM_READ);
        } else {
            InitPrg(true);
            FinishExchange();
            if (mAllowClose)
                RbPortClose(false);
        }
        break;
    default:
        break;
    }
}

void ControllerLink::Receive_TRANSMITION(const QByteArray& s)
{
    // The reply to EC is accepted; nothing follows.
    (void)s;
}

void ControllerLink::NextAddressOrFinish(const QByteArray& s)
{
    mReadData.append(s);
    if (mMcpAddr == mDataSize) {
        InitPrg(true);
        FinishExchange();
        if (mAllowClose)
            RbPortClose(false);
    } else {
        mMcpAddr += 1;
        mMcpStep = 0;
        Write(mMcpCmd);
    }
}

void ControllerLink::Receive_RAM_READWRITE(const QByteArray& s)
{
    // Per address: code, address low, address high, data (00 for a read);
    // the answer to the data byte is the memory byte.
    switch (mMcpStep) {
    case 0:
        mMcpStep = 1;
        Write(IntToChrLow(mMcpAddr));
        break;
    case 1:
        mMcpStep = 2;
        Write(IntToChrHigh(mMcpAddr));
        break;
    case 2: {
        mMcpStep = 3;
        const QByteArray b = mWriteData.left(1);
        mWriteData.remove(0, 1);
        Write(b);
        break;
    }
    case 3:
        NextAddressOrFinish(s);
        break;
    default:
        break;
    }
}

void ControllerLink::Receive_ROM_READ(const QByteArray& s)
{
    Receive_RAM_READWRITE(s);
}

void ControllerLink::Receive_ROM_WRITE(const QByteArray& s)
{
    // Per address: code, sub-code, address low, address high, then the data
    // byte twice.
    switch (mMcpStep) {
    case 0:
        mMcpStep = 1;
        Write(Byte(mMcpCmd == cEXTROM_WRITE ? 0x0B : 0x4B));
        break;
    case 1:
        mMcpStep = 2;
        Write(IntToChrLow(mMcpAddr));
        break;
    case 2:
        mMcpStep = 3;
        Write(IntToChrHigh(mMcpAddr));
        break;
    case 3:
        mMcpStep = 4;
        Write(mWriteData.left(1));
        break;
    case 4: {
        mMcpStep = 5;
        const QByteArray b = mWriteData.left(1);
        mWriteData.remove(0, 1);
        Write(b);
        break;
    }
    case 5:
        NextAddressOrFinish(s);
        break;
    default:
        break;
    }
}

// --- Command set ------------------------------------------------------------

bool ControllerLink::StartDirect(const QByteArray& bytes)
{
    mReadData.clear();
    mMcpFinish = false;
    RbCmdSend("STATUS_COMMAND", bytes);
    return true;
}

bool ControllerLink::StartMemoryRead(const QByteArray& code, qint32 address, qint32 length)
{
    if (!MemoryRangeOk(address, length))
        return false;
    mReadData.clear();
    mMcpFinish = false;
    RbCmdSend(code, NewString(length, QByteArray()), address);
    return true;
}

bool ControllerLink::StartMemoryWrite(const QByteArray& code, qint32 address,
                                      const QByteArray& data)
{
    if (!MemoryRangeOk(address, data.size()))
        return false;
    mReadData.clear();
    mMcpFinish = false;
    RbCmdSend(code, data, address);
    return true;
}

bool ControllerLink::Cmd_PTP_SET(bool on)
{
    return StartDirect(Byte(0xB1) + Byte(on ? 0x01 : 0x00));
}

bool ControllerLink::Cmd_IsMOVING()
{
    return StartDirect(Byte(0xB0) + Byte(0x00));
}

bool ControllerLink::Cmd_SPEED(qint32 speed)
{
    if (!IsByteValue(speed))
        return false;
    return StartDirect(Byte(0xB2) + Byte(speed));
}

bool ControllerLink::Cmd_SPEED_V(qint32 value)
{
    if (!IsByteValue(value))
        return false;
    return StartDirect(Byte(0xE9) + Byte(value));
}

bool ControllerLink::Cmd_SERVO_POS_GET(qint32 channel)
{
    if (!IsByteValue(channel))
        return false;
    return StartDirect(Byte(channel) + Byte(0x00));
}

bool ControllerLink::Cmd_SERVO_POS_GET_GROUP(qint32 group)
{
    // The group number rides on the command byte D3.
    if (!IsByteValue(group) || !IsByteValue(qint64(group) + 0xD3))
        return false;
    return StartDirect(Byte(group + 0xD3) + NewString(6, QByteArray()));
}

bool ControllerLink::Cmd_SERVO_POS_SET(qint32 channel, qint32 position)
{
    if (!IsByteValue(channel) || !IsByteValue(position))
        return false;
    return StartDirect(Byte(0xE6) + Byte(channel) + Byte(position));
}

bool ControllerLink::Cmd_SERVO_SET(qint32 channel, bool on)
{
    if (!IsByteValue(channel))
        return false;
    return StartDirect(Byte(on ? 0xE7 : 0xE8) + Byte(channel));
}

bool ControllerLink::Cmd_SERVO_POS_SET(qint32 first, qint32 count, const QString& positions)
{
    const QStringList fields = positions.split(QLatin1Char(','));
    QByteArray bytes;
    for (qint64 i = 1; i <= count; ++i) {
        const qint64 channel = qint64(first) + i - 1;
        const QString field = i <= fields.size() ? fields.at(i - 1).trimmed() : QString();
        qint64 position = 0;
        if (!field.isEmpty()) {
            bool ok = false;
            const double value = field.toDouble(&ok);
            // Checked as a double: converting a value beyond qint64 is undefined.
            const double whole = std::trunc(value);
            if (!ok || !(whole >= 0.0 && whole <= 255.0))
                return false;
            position = qint64(whole);
        }
        if (!IsByteValue(channel) || !IsByteValue(position))
            return false;
        bytes +=
            Byte(0xE7) + Byte(int(channel)) + Byte(0xE6) + Byte(int(channel)) + Byte(int(position));
    }
    return StartDirect(bytes);
}

bool ControllerLink::Cmd_SRAM_READ(qint32 address, qint32 length)
{
    return StartMemoryRead(cSRAM_READ, address, length);
}

bool ControllerLink::Cmd_INTROM_READ(qint32 address, qint32 length)
{
    return StartMemoryRead(cINTROM_READ, address, length);
}

bool ControllerLink::Cmd_EXTROM_READ(qint32 address, qint32 length)
{
    return StartMemoryRead(cEXTROM_READ, address, length);
}

bool ControllerLink::Cmd_SRAM_WRITE(qint32 address, const QByteArray& data)
{
    return StartMemoryWrite(cSRAM_WRITE, address, data);
}

bool ControllerLink::Cmd_INTROM_WRITE(qint32 address, const QByteArray& data)
{
    return StartMemoryWrite(cINTROM_WRITE, address, data);
}

bool ControllerLink::Cmd_EXTROM_WRITE(qint32 address, const QByteArray& data)
{
    return StartMemoryWrite(cEXTROM_WRITE, address, data);
}

// --- Sequencer and program read-out ------------------------------------------

void ControllerLink::DirectCommandTimer_Action()
{
    if (!mMcpFinish) {
        // Still running: look again later.
        DirectCommandTimer.start();
        return;
    }

    if (mDirCmd == QLatin1String("Get_PROGRAM_SIZE")) {
        // The size is stored low byte first; a short read counts as 0.
        const int low = mReadData.size() > 0 ? quint8(mReadData.at(0)) : 0;
        const int high = mReadData.size() > 1 ? quint8(mReadData.at(1)) : 0;
        SetMsg(QString::number(low + 256 * high) + QStringLiteral(" バイト"));
        mReadData.clear();
        mMcpFinish = false;
        RbPortClose(false);
    } else if (mDirCmd == QLatin1String("Get_PROGRAM_CODE")) {
        // The read-out rests here with the size bytes in mReadData.
    } else if (mDirCmd == QLatin1String("MOVE_MOTOR")) {
        mReadData.clear();
        mMcpFinish = false;
        RbPortClose(false);
    } else if (mDirCmd == QLatin1String("Get_MOTER")) {
        // Reads the servo groups up to 8, one exchange per tick. A job started
        // beyond group 8 ends at once rather than walking on past it.
        if (mDirStep >= 8) {
            mReadData.clear();
            mMcpFinish = false;
            RbPortClose(false);
        } else {
            mDirStep += 1;
            if (Cmd_SERVO_POS_GET_GROUP(mDirStep))
                DirectCommandTimer.start();
        }
    }
}

void ControllerLink::StackTimer_Action()
{
    if (!PrgPB.Visible) {
        mSameCount = 0;
        return;
    }
    const bool stalled = PrgPB.Value > 0 && PrgPB.Value == mPrevProgValue;
    if (!stalled) {
        mSameCount = 0;
    } else {
        mSameCount += 1;
        if (mSameCount > 5) {
            mSameCount = 0;
            if (mStackCheckType == 2)
                Receive_TRANSMITION("X");
        }
    }
    mPrevProgValue = PrgPB.Value;
}

void ControllerLink::MyCmd_GET_PROGRAM_CODE()
{
    v().Beep();
    const int answer = v().Alert(
        2, QStringLiteral("開始"), QStringLiteral("キャンセル"), QString(),
        QStringLiteral("コントローラーに転送されているプログラムをコンピュータに読込みます。"),
        QStringLiteral("読込みには、少々時間がかかります。宜しいですか？"),
        QStringLiteral("プログラムの読込み"));
    if (answer == 0)
        return;
    mDirCmd = QStringLiteral("Get_PROGRAM_CODE");
    mDirStep = 0;
    Get_PROGRAM_SIZE();
    DirectCommandTimer.start();
}

void ControllerLink::Get_PROGRAM_SIZE()
{
    // The program size sits at external ROM 000E..000F, low byte first.
    Cmd_EXTROM_READ(0x000E, 2);
}

void ControllerLink::Get_PROGRAM_CODE(qint32 n)
{
    SetMsg(QStringLiteral("プログラムを読込み中..."));
    Cmd_EXTROM_READ(0, n);
}

// --- Connection -------------------------------------------------------------

QString ControllerLink::OpenFailureReason(SerialError error, const QString& systemText)
{
    switch (error) {
    case SerialError::PermissionDenied:
        return QStringLiteral("ポートを使用する権限がありません。シリアルポートの使用を許可された"
                              "ユーザーである必要があります（Debian では dialout グループ）。");
    case SerialError::Busy:
        return QStringLiteral("ポートは他のプログラムが使用中です。");
    case SerialError::NotFound:
    case SerialError::DeviceGone:
        return QStringLiteral("ポートが見つかりません。取り外された可能性があります。");
    case SerialError::None:
    case SerialError::Other:
        break;
    }
    if (systemText.isEmpty())
        return QStringLiteral("ポートを開けませんでした。");
    return QStringLiteral("ポートを開けませんでした（%1）。").arg(systemText);
}

bool ControllerLink::RbPortOpen()
{
    // 1.
    if (mMcpOpen)
        return true;
    // 2. No port chosen: the caller decides whether to ask for one.
    PreferClass* const prefs = pref();
    if (!prefs || !prefs->mPortInfo)
        return false;
    const QString wanted = prefs->mPortInfo->mName;

    // 3. A port resolved under another name is stale.
    if (!mSerialPort.isNull() && mSerialPort.name.compare(wanted, Qt::CaseInsensitive) != 0)
        mSerialPort = SerialPortEntry();

    // 4. Search by name; every port is visited, so the last match wins.
    if (mSerialPort.isNull()) {
        const QList<SerialPortEntry> ports = SerialPorts::list();
        if (!ports.isEmpty()) {
            SetMsg(QStringLiteral("ポート検索..."));
            for (const SerialPortEntry& port : ports) {
                if (port.name.compare(wanted, Qt::CaseInsensitive) == 0)
                    mSerialPort = port;
            }
        }
    }

    // 5. Not there: forget the choice, so the next command asks again.
    if (mSerialPort.isNull()) {
        v().Beep();
        v().Alert(2, QStringLiteral("OK"), QString(), QString(),
                  QStringLiteral("コントローラーに接続できませんでした..."),
                  QStringLiteral("ケーブルが接続されていない可能性があります..."), QString());
        prefs->mPortInfo.reset();
        return false;
    }

    // 6.
    SetMsg(mSerialPort.name + QStringLiteral("に接続します..."));
    MySerial->setSerialPort(mSerialPort);
    mMcpOpen = MySerial->open();

    // 7. Found but refused. The message line is off screen, so the alert
    // carries the system's reason on a line of its own.
    if (!mMcpOpen) {
        v().Beep();
        v().Alert(2, QStringLiteral("OK"), QString(), QString(),
                  QStringLiteral("コントローラーに接続できませんでした..."),
                  QStringLiteral("電源がオンになっているか確認して下さい...") + QLatin1Char('\n') +
                      OpenFailureReason(MySerial->openError(), MySerial->openErrorString()),
                  QString());
        return false;
    }

    // 8. Whatever the device sent before it was opened is no answer.
    MySerial->discardInput();
    prefs->mPortInfo->mInputDriverName = mSerialPort.inputDriverName;
    prefs->mPortInfo->mOutputDriverName = mSerialPort.outputDriverName;
    SetMsg(QStringLiteral("接続OK... ") + QString::number(MySerial->baud()) +
           QStringLiteral(" baud"));
    return true;
}

void ControllerLink::RbPortClose(bool force)
{
    StackTimer.stop();
    const bool notAutoDisconnect = pref() && pref()->mNotAutoDisconnect;
    if (force || !notAutoDisconnect) {
        MySerial->setBaud(kBaud);
        if (mMcpOpen) {
            MySerial->close();
            SetMsg(QStringLiteral("切断..."));
        }
        mMcpOpen = false;
        SetFoceCloseVisible(false);
    } else {
        SetMsg(QStringLiteral("接続中..."));
    }
    mAllowClose = false;
    mMcpCmd.clear();
    mMcpStep = -1;
    InitPrg(false);
    EnableControllerButtons(true);
}

bool ControllerLink::IsLinkLost(SerialError error)
{
    return error == SerialError::DeviceGone || error == SerialError::NotFound;
}

void ControllerLink::MySerial_Error(SerialError error, const QString& text)
{
    (void)text;
    if (!IsLinkLost(error)) {
        // The device is still there (a parity or framing error, a write
        // that timed out): the user decides, with the forced disconnect.
        v().Beep();
        SetMsg(QStringLiteral("エラーが起きました..."));
        SetFoceCloseVisible(true);
        return;
    }
    // A device that is gone would leave the link looking open while every
    // later byte is lost. End the link for real: the exchange in progress
    // stops unfinished, the timers that wait on replies stop, and the next
    // command opens the port afresh. The port closes here, so the loss is
    // reported once.
    SerialBackUpTimer.stop();
    DirectCommandTimer.stop();
    RbPortClose(true);
    v().Beep();
    SetMsg(QStringLiteral("エラーが起きました..."));
    emit linkLost();
}

void ControllerLink::FoceClose_Action()
{
    RbPortClose(false);
    SetFoceCloseVisible(false);
}
