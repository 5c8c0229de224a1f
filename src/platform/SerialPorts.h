#pragma once

#include "SerialBackend.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

// One entry of the serial port inventory: what the user sees (name), the two
// driver names the preferences keep, and how to open it.
struct SerialPortEntry
{
    QString name;
    QString inputDriverName;
    QString outputDriverName;
    // Makes a fresh, closed backend for this port; empty for a null entry.
    std::function<std::unique_ptr<SerialBackend>()> makeBackend;

    bool isNull() const { return !makeBackend; }
};

// The ports the program can offer, asked afresh at every call, in this order:
//  1. the ports the system enumerates (QSerialPortInfo's order);
//  2. Bluetooth rfcomm devices the system does not enumerate;
//  3. device paths listed, colon-separated, in VANTOR_IR_PORTS (pseudo-terminals,
//     socat and ser2net bridges the system does not enumerate) that exist;
//  4. extra ports registered by the program (the built-in virtual controller).
// Tests replace the whole list with setOverride().
namespace SerialPorts {

QList<SerialPortEntry> list();
int count();
SerialPortEntry at(int index); // null entry when out of range

// A port reached through its terminal device at the given path.
SerialPortEntry deviceEntry(const QString& name, const QString& devicePath,
                            const QString& outputDriverName = {});

void registerExtraPort(const SerialPortEntry& entry);
void clearExtraPorts();

// Replaces system, environment and extra ports alike (tests).
void setOverride(const QList<SerialPortEntry>& ports);
void clearOverride();

} // namespace SerialPorts
