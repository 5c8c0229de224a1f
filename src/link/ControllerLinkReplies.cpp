#include "ControllerLink.h"
#include "LinkWire.h"

#include "app/Module1.h"
#include "settings/PreferClass.h"

using namespace linkwire;

// --- Reply handlers ---------------------------------------------------------

void ControllerLink::Receive_CONTROLER_INFORMATION(const QByteArray& s)
{
    // The handshake after F0: a 00, then the controller's five answers are
    // sent back to it one by one; the six answers, printable characters,
    // name it.
    if (mMcpStep == 0) {
        mMcpStep = 1;
        Write(Byte(0x00), Reply::Name);
    } else if (mMcpStep >= 1 && mMcpStep <= 5) {
        mInfoCtrlr.append(s);
        mMcpStep += 1;
        Write(s, Reply::Name);
    } else if (mMcpStep == 6) {
        mInfoCtrlr.append(s);
        // A line that sends back whatever it gets names nothing: six times
        // the same character is an echo of what was sent, not a name.
        if (mInfoCtrlr.count(mInfoCtrlr.at(0)) == mInfoCtrlr.size()) {
            const QByteArray name = mInfoCtrlr;
            mInfoCtrlr.clear();
            FailExchange(LinkFault::WrongReply, name,
                         QStringLiteral("a controller's name, not an echo of what was sent"));
            return;
        }
        if (mMcpCmd == "CONTROLER_IDENT") {
            InitPrg(true);
            FinishExchange();
            if (mAllowClose)
                RbPortClose(false);
            return;
        }
        // Then the program checksum at static RAM 04F2..04F3.
        mInfoChecksum.clear();
        mMcpStep = 0;
        mMcpAddr = 0x04F2;
        mMcpCmd = "SRAM_CHECKSUM";
        // Between two of the controller's commands: a waiting stream goes first.
        if (StartDeferredStream())
            return;
        Write(cSRAM_READ);
    }
}

bool ControllerLink::WriteReadAddressStep()
{
    // A one-address read goes code, address low, address high, 00; the
    // answer to the 00 is the memory byte (step 3).
    switch (mMcpStep) {
    case 0:
        mMcpStep = 1;
        Write(IntToChrLow(mMcpAddr));
        return true;
    case 1:
        mMcpStep = 2;
        Write(IntToChrHigh(mMcpAddr));
        return true;
    case 2:
        mMcpStep = 3;
        Write(Byte(0x00), Reply::Any);
        return true;
    default:
        return false;
    }
}

void ControllerLink::Receive_SRAM_CHECKSUM(const QByteArray& s)
{
    if (WriteReadAddressStep() || mMcpStep != 3)
        return;
    mInfoChecksum.append(s);
    mMcpAddr += 1;
    if (mMcpAddr <= 0x04F3) {
        mMcpStep = 0;
        // Between two of the controller's commands: a waiting stream goes first.
        if (StartDeferredStream())
            return;
        Write(cSRAM_READ);
    } else {
        // Last, the program information request.
        mInfoProg.clear();
        mMcpStep = 0;
        mMcpAddr = 0;
        mMcpCmd = "PROGRAM_INFORMATION";
        // Between two of the controller's commands: a waiting stream goes first.
        if (StartDeferredStream())
            return;
        Write(cEXTROM_READ);
    }
}

void ControllerLink::Receive_PROGRAM_INFORMATION(const QByteArray& s)
{
    // The program header: external ROM 0000..000F (the size sits at
    // 000E..000F), read address by address like any external-ROM read. The
    // chain ends once the header is in, so the controller is never left in
    // the middle of the read that the F2 began.
    if (WriteReadAddressStep() || mMcpStep != 3)
        return;
    mInfoProg.append(s);
    if (mMcpAddr < kProgramHeaderLast) {
        mMcpAddr += 1;
        mMcpStep = 0;
        // Between two of the controller's commands: a waiting stream goes first.
        if (StartDeferredStream())
            return;
        Write(cEXTROM_READ);
    } else {
        InitPrg(true);
        FinishExchange();
        if (mAllowClose)
            RbPortClose(false);
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
        // Between two of the controller's commands: a waiting stream goes first.
        if (StartDeferredStream())
            return;
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
        // A read sends 00 and takes the memory byte; a write sends the value
        // and the controller echoes what it stored.
        mMcpStep = 3;
        const QByteArray b = mWriteData.left(1);
        mWriteData.remove(0, 1);
        Write(b, mMcpCmd == cSRAM_WRITE ? Reply::Echo : Reply::Any);
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
