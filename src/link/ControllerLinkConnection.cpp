#include "ControllerLink.h"
#include "LinkWire.h"

#include "app/Module1.h"
#include "settings/PreferClass.h"

using namespace linkwire;

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
    case SerialError::NotSerialDevice:
        return QStringLiteral("シリアルポートではありません。");
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
    mOpenError = SerialError::NotFound;
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

    // 5. Not there: forget the choice, so the next command asks again. Work
    // in the background neither alerts nor forgets: it tries again later.
    const auto notThere = [&] {
        mOpenError = SerialError::NotFound;
        if (mOpenQuietly)
            return false;
        v().Beep();
        v().Alert(2, QStringLiteral("OK"), QString(), QString(),
                  QStringLiteral("コントローラーに接続できませんでした..."),
                  QStringLiteral("ケーブルが接続されていない可能性があります..."), QString());
        prefs->mPortInfo.reset();
        mSerialPort = SerialPortEntry();
        return false;
    };
    if (mSerialPort.isNull())
        return notThere();

    // 6.
    SetMsg(mSerialPort.name + QStringLiteral("に接続します..."));
    MySerial->setSerialPort(mSerialPort);
    mMcpOpen = MySerial->open();
    // Listed, but no device behind it when opened (a path typed by hand
    // whose bridge is gone): the same as not listed.
    if (!mMcpOpen && MySerial->openError() == SerialError::NotFound)
        return notThere();

    // 7. Found but refused. The message line is off screen, so the alert
    // carries the system's reason on a line of its own.
    if (!mMcpOpen) {
        mOpenError = MySerial->openError();
        if (mOpenQuietly)
            return false;
        v().Beep();
        v().Alert(2, QStringLiteral("OK"), QString(), QString(),
                  QStringLiteral("コントローラーに接続できませんでした..."),
                  QStringLiteral("電源がオンになっているか確認して下さい...") + QLatin1Char('\n') +
                      OpenFailureReason(MySerial->openError(), MySerial->openErrorString()),
                  QString());
        return false;
    }

    // 8. Whatever the device sent before it was opened is no answer.
    mOpenError = SerialError::None;
    MySerial->discardInput();
    prefs->mPortInfo->mInputDriverName = mSerialPort.inputDriverName;
    prefs->mPortInfo->mOutputDriverName = mSerialPort.outputDriverName;
    SetMsg(QStringLiteral("接続OK... ") + QString::number(MySerial->baud()) +
           QStringLiteral(" baud"));
    return true;
}

void ControllerLink::RbPortClose(bool force)
{
    // An answer still due is no longer waited for: the exchange ends here.
    const bool abandoned = mAwaiting;
    mAwaiting = false;
    ReplyTimer.stop();
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
    if (abandoned)
        emit exchangeAbandoned(false);
    // A stream that waited for the command closed under it goes now.
    if (mDeferred)
        QTimer::singleShot(0, this, [this] { StartDeferredStream(); });
}

bool ControllerLink::IsLinkLost(SerialError error)
{
    return error == SerialError::DeviceGone || error == SerialError::NotFound;
}

void ControllerLink::MySerial_Error(SerialError error, const QString& text)
{
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
    LinkFailure f;
    f.fault = LinkFault::Lost;
    f.cmd = mMcpCmd;
    f.addr = mMcpAddr;
    f.step = mMcpStep;
    f.replies = mReplies;
    f.sent = mLastWritten;
    f.openError = error;
    f.systemText = text;
    const bool pending = mAwaiting;
    mAwaiting = false;
    mMcpFinish = false;
    mReadData.clear();
    SerialBackUpTimer.stop();
    DirectCommandTimer.stop();
    RbPortClose(true);
    SetMsg(QStringLiteral("エラーが起きました..."));
    mLastFailure = f;
    emit linkLost();
    if (pending) {
        ReportFailure(f);
    } else if (!mQuietExchange) {
        // Lost between exchanges: nobody waits for an answer, but the lamp
        // alone is easy to miss.
        v().Beep();
        v().Alert(2, QStringLiteral("OK"), QString(), QString(),
                  QStringLiteral("コントローラーとの接続が切れました..."),
                  QStringLiteral("ケーブルが抜けたか、コントローラーの電源が切れた可能性があり"
                                 "ます..."),
                  QString());
    }
}

void ControllerLink::FoceClose_Action()
{
    RbPortClose(false);
    SetFoceCloseVisible(false);
}
