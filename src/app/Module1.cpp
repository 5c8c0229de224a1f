#include "Module1.h"

PreferClass* gPref = nullptr;
// Set again by start-up; holds its value from the start so that nothing that
// logs before then writes lines without an end.
QByteArray gEOM(1, '\x0D');

QString FormatHex(qint32 value)
{
    // Two digits at least, upper case; negatives are shown as their 32-bit
    // two's complement (no caller passes one).
    QString digits = QString::number(quint32(value), 16).toUpper();
    if (digits.size() < 2)
        digits.prepend(QLatin1Char('0'));
    return digits;
}

QString HexStr(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

QByteArray IntToChrLow(qint32 value)
{
    return QByteArray(1, char(value & 0xFF));
}

QByteArray IntToChrHigh(qint32 value)
{
    return QByteArray(1, char((value >> 8) & 0xFF));
}

QByteArray NewString(qint32 count, const QByteArray& bytes)
{
    if (count <= 0)
        return {};
    const QByteArray unit = bytes.isEmpty() ? QByteArray(1, '\0') : bytes;
    return unit.repeated(count);
}
