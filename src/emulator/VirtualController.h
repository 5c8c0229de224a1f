#pragma once

#include "platform/SerialPorts.h"

class QmcModel;

// The built-in virtual controller: one QmcModel for the program's lifetime,
// offered as the last port of the inventory so the program can be tried
// without a board.
namespace VirtualController {

// The port's name and driver names. No real device carries this name, so a
// remembered hardware port is never silently resolved to the emulator.
inline constexpr const char* cPortName = "Virtual QMC-4410";
inline constexpr const char* cDriverName = "virtual";

// The shared model; a monitor view connects to its signals.
QmcModel* model();

// Whether the port imitates the 9600 bit/s line's timing (the program) or
// answers at once (tests). On by default; applies to ports opened later.
void setImitateLine(bool imitate);
bool imitatesLine();

// An inventory entry that opens the shared model.
SerialPortEntry builtInPortEntry();
// Adds builtInPortEntry() to the end of the inventory; a second call does
// nothing.
void registerBuiltInPort();

} // namespace VirtualController
