#pragma once

// Wire constants and small helpers shared by the files of the controller
// link. Private to src/link.

#include <QByteArray>
#include <QString>

#include <charconv>
#include <chrono>

namespace linkwire {

using namespace std::chrono_literals;

// Backup poll for a reply while a byte stream waits. Replies are normally
// handled the moment the port signals them; this only catches data that
// arrived without a signal.
inline constexpr auto kSerialBackUpPeriod = 10ms;
// A stream pushes its backup poll back after a byte only when it last did so
// longer ago than this: on a fast line that spares restarting the timer for
// every byte, on a slow one the poll still never comes due between replies.
inline constexpr auto kSerialBackUpPushInterval = 1ms;
// The sequencer looks at the pending exchange this often.
inline constexpr auto kDirectCommandPeriod = 500ms;
// Stall watch over the progress display.
inline constexpr auto kStackPeriod = 50ms;

// The only line speed the controller speaks.
inline constexpr qint32 kBaud = 9600;

// Highest controller address: addresses go on the line as two bytes.
inline constexpr qint64 kLastAddress = 0xFFFF;

// Last address of the program header in external ROM, which the
// identification reads after the checksum.
inline constexpr qint32 kProgramHeaderLast = 0x000F;

inline QByteArray Byte(int value)
{
    return QByteArray(1, char(value));
}

inline bool IsByteValue(qint64 value)
{
    return value >= 0 && value <= 255;
}

// "value/maximum" for the count beside the progress bar. Built on the stack
// with one allocation: it is redone for every reply of a stream.
inline QString CountText(qint32 value, qint32 maximum)
{
    char buf[24];
    char* end = std::to_chars(buf, buf + 11, value).ptr;
    *end++ = '/';
    end = std::to_chars(end, end + 11, maximum).ptr;
    return QString::fromLatin1(buf, end - buf);
}

} // namespace linkwire
