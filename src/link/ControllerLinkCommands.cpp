#include "ControllerLink.h"
#include "LinkWire.h"

#include "app/Module1.h"
#include "settings/PreferClass.h"

#include <QStringList>

#include <cmath>

using namespace linkwire;

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

void ControllerLink::Cmd_IDENTIFY()
{
    mReadData.clear();
    mMcpFinish = false;
    RbCmdSend("CONTROLER_IDENT", QByteArray());
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
