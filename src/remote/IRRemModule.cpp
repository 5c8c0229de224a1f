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

const std::array<QRect, cIRRCnvCount>& IRRCnvGeometry()
{
    // Rows on the picture: 25 19 16 along the top (16 is the large key); a
    // block 1 2 3 / 4 5 6 / 7 8 9 / 22 10 24; a cross with 11 above, 14 left,
    // 26 centre, 13 right, 12 below; then 15 21 20 / 28 29 30 / 17 31 27 /
    // 18 32 23.
    static const std::array<QRect, cIRRCnvCount> rects = {
        QRect(-29, 9, 18, 18), // 0: outside the content, never clickable
        QRect(21, 65, 26, 18),  QRect(54, 65, 26, 18),  QRect(86, 65, 26, 18),
        QRect(21, 89, 26, 18),  QRect(54, 89, 26, 18),  QRect(86, 89, 26, 18),
        QRect(21, 116, 26, 18), QRect(54, 116, 26, 18), QRect(86, 116, 26, 18),
        QRect(54, 139, 26, 18), // 10
        QRect(50, 163, 34, 18), QRect(50, 200, 34, 18), QRect(87, 173, 18, 36),
        QRect(29, 173, 18, 36), QRect(29, 231, 21, 18), QRect(86, 32, 24, 24),
        QRect(29, 274, 21, 18), QRect(29, 296, 21, 18), QRect(57, 39, 18, 18),
        QRect(86, 231, 21, 18), // 20
        QRect(57, 231, 21, 18), QRect(21, 139, 26, 18), QRect(86, 296, 21, 18),
        QRect(86, 139, 26, 18), QRect(24, 40, 18, 18),  QRect(50, 184, 34, 14),
        QRect(86, 274, 21, 18), QRect(29, 252, 21, 18), QRect(57, 252, 21, 18),
        QRect(86, 252, 21, 18), // 30
        QRect(57, 274, 21, 18), QRect(57, 296, 21, 18),
    };
    return rects;
}

const std::array<int, cIRRCnvCount>& IRRCnvCreationOrder()
{
    static const std::array<int, cIRRCnvCount> order = {25, 19, 16, 1,  2,  3,  4,  5,  6,  7,  8,
                                                        9,  22, 10, 24, 11, 12, 14, 13, 26, 15, 21,
                                                        20, 28, 29, 30, 17, 31, 27, 18, 23, 32, 0};
    return order;
}
