#include "ControllerLink.h"
#include "LinkWire.h"

#include "app/Module1.h"
#include "settings/PreferClass.h"

using namespace linkwire;

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
