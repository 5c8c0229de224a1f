#pragma once

#include "Sequence.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The sequence file: JSON text, written with a fixed key order and one
// channel per line in channel order, so that a change to one servo is one
// changed line under version control, and so that it can be written by hand:
//
//   {
//     "format": "vantor-sequence",
//     "version": 1,
//     "name": "wave",
//     "frames": [
//       {
//         "name": "rest",
//         "speed": 0,
//         "wait": "stopped",
//         "hold": 0,
//         "channels": {
//           "1": 128,
//           "2": "off"
//         }
//       }
//     ]
//   }
//
// A channel's number is a position with the servo on; "off" switches it off.
// "wait" is "stopped" (until the board reports it stopped moving) or
// milliseconds. In a frame, "name", "speed", "wait", "hold" and "channels"
// may be left out (an empty name, speed 0, "stopped", 0, no channels); keys
// the format does not know are refused, so that a misspelt "hold" is not
// silently dropped.
namespace sequencefile {

inline constexpr const char* cFormat = "vantor-sequence";
inline constexpr int cVersion = 1;

// Why a file was refused: the line (1 for the first) and the reason.
struct Error
{
    int line = 0;
    QString reason;

    // "line 7: channel 49 is not 1-48".
    QString text() const;
};

// The sequence in `text`, or nothing with *error set. Nothing in a refused
// file is used.
std::optional<Sequence> read(const QByteArray& text, Error* error);

// The file's text. read(write(s)) == s for every sequence that passes
// CheckSequence, and write(read(t)) == t for every text write made.
QByteArray write(const Sequence& sequence);

// One frame as a JSON object on one line, in the file's key order: what a
// script appends to "frames".
QByteArray writeFrame(const Frame& frame);

// The file at `path`, or nothing with *error holding "PATH: line N: reason"
// or "cannot read PATH: reason".
std::optional<Sequence> load(const QString& path, QString* error);
// Writes through a temporary file that replaces `path` only once complete.
bool save(const QString& path, const Sequence& sequence, QString* error);

} // namespace sequencefile
