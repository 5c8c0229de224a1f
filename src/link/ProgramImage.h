#pragma once

#include <QByteArray>
#include <QString>

// The program the controller keeps in its external ROM: a 16-byte header
// from 0000, whose bytes 000E..000F hold the program's size (header
// included, low byte first), then the code.
namespace ProgramImage {

inline constexpr qint32 cSizeAddress = 0x000E;
inline constexpr qint32 cHeaderSize = 16;
inline constexpr qint32 cRomSize = 0x10000;
// What an erased ROM reads.
inline constexpr qint32 cErasedSize = 0xFFFF;

// Why a size or a file cannot be a program. The windows and the command line
// each put it in their own words.
struct Problem
{
    enum Kind
    {
        None,
        Erased,          // the size reads FFFF
        BeyondRom,       // more than the external ROM holds
        ShorterThanHead, // 1..15: shorter than the header that holds it
        FileTooShort,    // a file without a whole header
        SizeMismatch,    // the file's size field differs from its length
    };
    Kind kind = None;
    qint32 size = 0;   // the size field
    qint32 length = 0; // the file's length

    explicit operator bool() const { return kind != None; }
};

// A stored size; 0 is a board without a program, a size like any other.
Problem checkSize(qint32 size);
// A file's bytes, to be put on the board.
Problem checkFile(const QByteArray& image);

// The size field of an image (0 when the image is too short to hold one).
qint32 sizeField(const QByteArray& image);

// The problem in English, for the command line.
QString describe(const Problem& problem);

} // namespace ProgramImage
