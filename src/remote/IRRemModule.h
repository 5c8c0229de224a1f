#pragma once

#include <QByteArray>
#include <QRect>

#include <array>

// Per-variable tables of the remote panel: ten entries each, all zero at
// start; ClearTimer zeroes them. Nothing else reads or writes them.
extern std::array<qint32, 10> gRemValue;
extern std::array<qint32, 10> gVarValue;

// Transmission modes of the remote panel (mRemType).
constexpr qint32 cRemTypeCommunication = 0; // clicks go to the controller
constexpr qint32 cRemTypeSimulation = 1;    // clicks send nothing

// SRAM-write command code, followed by the address low byte, high byte, data.
constexpr quint8 cRemSRAM_WRITE = 0xF8;
// Escape byte sent before a lone key code above 127.
constexpr quint8 cRemEscape = 0xFF;

// The key code of member `index` under remote ID `remID` (1..4).
qint32 RemoconCode(qint32 remID, qint32 index);

// The bytes one click of member `index` hands to the controller link:
//  - variable 1: the code alone, preceded by 0xFF when above 127;
//  - variable n = 2..8: F8, 0x40 + n - 1, 01, code (a one-byte SRAM write of
//    the code at 0x0140 + n - 1, address low byte first).
// Empty in simulation mode.
QByteArray RemoconClickBytes(qint32 remType, qint32 remID, qint32 remNum, qint32 index);

// Zeroes gRemValue and gVarValue.
void ClearRemoconValues();

// Where each member of the remote's key array lies, in content pixels.
// Member 0 sits left of the content (Left -29) and can never be clicked.
constexpr int cIRRCnvCount = 33;
const std::array<QRect, cIRRCnvCount>& IRRCnvGeometry();

// The order in which the window creates the members.
const std::array<int, cIRRCnvCount>& IRRCnvCreationOrder();
