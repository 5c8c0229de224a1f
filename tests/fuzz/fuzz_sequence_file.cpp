// Feeds arbitrary text to the sequence file reader: it must neither crash nor meet undefined
// behaviour, and whatever it accepts must hold to the file's rules:
//  - a sequence it reads can be played: every value is within what the line carries;
//  - a refusal names a line of the text and a reason;
//  - writing what it read and reading that back gives the same sequence, and writing that
//    again gives the same bytes.
#include "link/SequenceFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    sequencefile::Error error;
    const std::optional<Sequence> sequence = sequencefile::read(text, &error);
    if (!sequence) {
        if (error.reason.isEmpty() || error.line < 1 || error.line > text.count('\n') + 1)
            std::abort();
        return 0;
    }
    if (!CheckSequence(*sequence).isEmpty())
        std::abort();
    const QByteArray written = sequencefile::write(*sequence);
    const std::optional<Sequence> again = sequencefile::read(written, nullptr);
    if (!again || !(*again == *sequence) || sequencefile::write(*again) != written)
        std::abort();
    return 0;
}
