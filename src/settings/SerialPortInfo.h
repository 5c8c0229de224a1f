#pragma once

#include "platform/SerialPorts.h"

#include <QString>

// The remembered identity of a serial port. A port is identified by mName
// alone, compared without regard to case; the driver names are kept and saved.
class SerialPortInfo
{
public:
    SerialPortInfo() = default;
    explicit SerialPortInfo(const SerialPortEntry& port);

    QString mName;
    QString mInputDriverName;
    QString mOutputDriverName;
};
