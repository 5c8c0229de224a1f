#include "ControllerLink.h"
#include "LinkWire.h"

using namespace linkwire;

// --- Trust in what comes back ---------------------------------------------------

namespace {

bool IsNameCharacter(const QByteArray& s)
{
    return s.size() == 1 && s.at(0) >= 0x20 && s.at(0) <= 0x7E;
}

} // namespace

bool ControllerLink::CheckReply(const QByteArray& s)
{
    // Lock-step: one byte written, one byte answered. More in one read is
    // chatter or noise on the line, never a longer answer.
    if (s.size() != 1) {
        FailExchange(LinkFault::LineNoise, s, QStringLiteral("one byte"));
        return false;
    }
    switch (mExpect) {
    case Reply::Any:
        return true;
    case Reply::Echo:
        if (s == mLastWritten)
            return true;
        FailExchange(LinkFault::WrongReply, s);
        return false;
    case Reply::Name:
        if (IsNameCharacter(s))
            return true;
        FailExchange(LinkFault::WrongReply, s,
                     QStringLiteral("a printable character of the controller's name"));
        return false;
    }
    return true;
}

void ControllerLink::FailExchange(LinkFault fault, const QByteArray& received,
                                  const QString& expectedText)
{
    LinkFailure f;
    f.fault = fault;
    f.cmd = mMcpCmd;
    f.addr = mMcpAddr;
    f.step = mMcpStep;
    f.replies = mReplies;
    f.sent = mLastWritten;
    if (mExpect == Reply::Echo)
        f.expected = mLastWritten;
    f.received = received;
    f.expectedText = expectedText;
    mLastFailure = f;

    // The exchange ends here, unfinished, and keeps nothing it read: a byte
    // taken from a line that was shown to lie is no data.
    SerialBackUpTimer.stop();
    ReplyTimer.stop();
    mAwaiting = false;
    mMcpFinish = false;
    mReadData.clear();
    mWriteData.clear();
    mMcpCmd.clear();
    // The port closes as the auto-disconnect setting says; one left open is
    // drained, so that a stray byte does not shift the next exchange. Either
    // way the line is given a quiet spell, long enough for the controller to
    // drop a command it had half received.
    RbPortClose(false);
    StartDrain();
    ReportFailure(f);
    // A stream that waited for the failed command still goes: the user asked.
    if (mDeferred)
        QTimer::singleShot(0, this, [this] { StartDeferredStream(); });
}

void ControllerLink::ReportFailure(const LinkFailure& failure)
{
    emit exchangeFailed(failure);
    if (mQuietExchange)
        return;
    QString message;
    QString explanation;
    switch (failure.fault) {
    case LinkFault::NoReply:
        SetMsg(QStringLiteral("応答がありません..."));
        message = QStringLiteral("コントローラーから応答がありません...");
        explanation =
            QStringLiteral("コントローラーの電源、ケーブル、選択したポートを確認して下さい...");
        break;
    case LinkFault::WrongReply:
    case LinkFault::LineNoise:
        SetMsg(QStringLiteral("応答が正しくありません..."));
        message = QStringLiteral("コントローラーからの応答が正しくありません...");
        explanation =
            QStringLiteral("このポートにコントローラー以外の機器がつながっているか、ケーブルか"
                           "通信速度が合っていないか、回線に雑音が入っている可能性があります...");
        break;
    case LinkFault::Lost:
        message = QStringLiteral("コントローラーとの接続が切れました...");
        explanation = QStringLiteral("ケーブルが抜けたか、コントローラーの電源が切れた可能性があり"
                                     "ます...");
        break;
    case LinkFault::None:
    case LinkFault::NotOpened: // RbPortOpen has said why
    case LinkFault::Closed:    // the user closed it
        return;
    }
    v().Beep();
    v().Alert(2, QStringLiteral("OK"), QString(), QString(), message, explanation, QString());
}

void ControllerLink::ReplyTimer_Action()
{
    if (!mAwaiting)
        return;
    const qint64 waited = mClock() - mLastWriteMs;
    if (waited < mReplyTimeout.count() || mInRead) {
        ReplyTimer.start(
            std::chrono::milliseconds(std::max<qint64>(mReplyTimeout.count() - waited, 1)));
        return;
    }
    // An answer may sit unannounced in the port: look once more.
    DoSerialRead();
    if (mAwaiting)
        FailExchange(LinkFault::NoReply);
}

void ControllerLink::StartDrain()
{
    MySerial->discardInput();
    mDraining = true;
    mLastNoiseMs = mClock();
    DrainTimer.start(cQuietPeriod);
}

void ControllerLink::StopDrain()
{
    mDraining = false;
    DrainTimer.stop();
}

void ControllerLink::DrainTimer_Action()
{
    if (!mDraining)
        return;
    // Throw away what arrived without a notification, too.
    DoSerialRead();
    const qint64 quiet = mClock() - mLastNoiseMs;
    if (quiet < cQuietPeriod.count()) {
        DrainTimer.start(
            std::chrono::milliseconds(std::max<qint64>(cQuietPeriod.count() - quiet, 1)));
        return;
    }
    StopDrain();
    emit lineQuiet();
}
