#include "SerialPortInfo.h"

SerialPortInfo::SerialPortInfo(const SerialPortEntry& port)
    : mName(port.name), mInputDriverName(port.inputDriverName),
      mOutputDriverName(port.outputDriverName)
{
}
