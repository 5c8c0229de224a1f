#include "ProgramImage.h"

namespace ProgramImage {

Problem checkSize(qint32 size)
{
    Problem p;
    p.size = size;
    if (size == cErasedSize)
        p.kind = Problem::Erased;
    else if (size < 0 || size >= cRomSize)
        p.kind = Problem::BeyondRom;
    else if (size > 0 && size < cHeaderSize)
        p.kind = Problem::ShorterThanHead;
    return p;
}

qint32 sizeField(const QByteArray& image)
{
    if (image.size() < cSizeAddress + 2)
        return 0;
    return quint8(image.at(cSizeAddress)) | (quint8(image.at(cSizeAddress + 1)) << 8);
}

Problem checkFile(const QByteArray& image)
{
    Problem p;
    p.length = qint32(std::min<qsizetype>(image.size(), cRomSize));
    p.size = sizeField(image);
    if (image.size() < cHeaderSize) {
        p.kind = Problem::FileTooShort;
        return p;
    }
    if (image.size() >= cRomSize) {
        p.kind = Problem::BeyondRom;
        return p;
    }
    if (p.size != image.size()) {
        p.kind = Problem::SizeMismatch;
        return p;
    }
    const Problem size = checkSize(p.size);
    p.kind = size.kind;
    return p;
}

QString describe(const Problem& problem)
{
    switch (problem.kind) {
    case Problem::None:
        break;
    case Problem::Erased:
        return QStringLiteral("the program size reads FFFF, as an erased external ROM does");
    case Problem::BeyondRom:
        return QStringLiteral("%1 bytes are more than the external ROM holds (%2)")
            .arg(std::max(problem.size, problem.length))
            .arg(cRomSize - 1);
    case Problem::ShorterThanHead:
        return QStringLiteral("a program size of %1 is shorter than the program's own "
                              "%2-byte header")
            .arg(problem.size)
            .arg(cHeaderSize);
    case Problem::FileTooShort:
        return QStringLiteral("%1 bytes are too short for a program (its header alone is %2)")
            .arg(problem.length)
            .arg(cHeaderSize);
    case Problem::SizeMismatch:
        return QStringLiteral("its size field (bytes 0E-0F) says %1 bytes, but it holds %2")
            .arg(problem.size)
            .arg(problem.length);
    }
    return {};
}

} // namespace ProgramImage
