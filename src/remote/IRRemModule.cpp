#include "IRRemModule.h"

std::array<qint32, 10> gRemValue{};
std::array<qint32, 10> gVarValue{};

qint32 RemoconCode(qint32 remID, qint32 index)
{
    // 32 keys per ID: ID 1 sends 1..32, ID 2 33..64, ID 3 65..96, ID 4 97..128.
    return (remID - 1) * 32 + index;
}

QByteArray RemoconClickBytes(qint32 remType, qint32 remID, qint32 remNum, qint32 index)
{
    QByteArray bytes;
    if (remType != cRemTypeCommunication)
        return bytes;
    const qint32 code = RemoconCode(remID, index);
    if (remNum == 1) {
        if (code > 127)
            bytes.append(char(cRemEscape));
        bytes.append(char(code & 0xFF));
    } else {
        // Variable n lives in the controller's SRAM at 0x0140 + n - 1.
        bytes.append(char(cRemSRAM_WRITE));
        bytes.append(char((0x40 + remNum - 1) & 0xFF));
        bytes.append(char(0x01));
        bytes.append(char(code & 0xFF));
    }
    return bytes;
}

void ClearRemoconValues()
{
    gRemValue.fill(0);
    gVarValue.fill(0);
}
