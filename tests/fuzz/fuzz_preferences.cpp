// Feeds arbitrary bytes to the preferences reader: it must neither crash nor
// meet undefined behaviour, and the two request lists must stay paired.
#include "settings/PreferClass.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PreferClass prefs; // no file: nothing on disk is touched
    prefs.ReadText(QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (prefs.mRBTReqestOpcode.size() != prefs.mRBTReqestData.size())
        std::abort();
    return 0;
}
