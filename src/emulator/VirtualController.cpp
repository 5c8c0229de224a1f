#include "VirtualController.h"

#include "QmcModel.h"
#include "VirtualSerialBackend.h"

namespace VirtualController {
namespace {

bool gImitateLine = true;
bool gRegistered = false;

} // namespace

QmcModel* model()
{
    // Created on first use and kept until the program ends.
    static QmcModel* const sModel = new QmcModel;
    return sModel;
}

void setImitateLine(bool imitate)
{
    gImitateLine = imitate;
}

bool imitatesLine()
{
    return gImitateLine;
}

SerialPortEntry builtInPortEntry()
{
    SerialPortEntry e;
    e.name = QString::fromLatin1(cPortName);
    e.inputDriverName = QString::fromLatin1(cDriverName);
    e.outputDriverName = QString::fromLatin1(cDriverName);
    e.makeBackend = [] { return std::make_unique<VirtualSerialBackend>(model(), gImitateLine); };
    return e;
}

void registerBuiltInPort()
{
    if (gRegistered)
        return;
    gRegistered = true;
    SerialPorts::registerExtraPort(builtInPortEntry());
}

} // namespace VirtualController
