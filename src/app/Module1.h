#pragma once

#include <QByteArray>
#include <QString>

class PreferClass;
class TransSepaWindow;

// Globals shared by the windows. gTw is defined with the controller window.
extern PreferClass* gPref;
extern TransSepaWindow* gTw;
extern QByteArray gEOM; // line end of the traffic log: the single byte 0x0D

// Byte strings are QByteArray: lengths count bytes and 0x00 is an ordinary
// element. 16-bit controller values go on the line low byte first.
QString FormatHex(qint32 value);
QString HexStr(const QByteArray& bytes);
QByteArray IntToChrLow(qint32 value);
QByteArray IntToChrHigh(qint32 value);
QByteArray NewString(qint32 count, const QByteArray& bytes);
