#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// A hexadecimal dump: per line the address, up to 16 bytes and their ASCII
// column ('.' for anything not printable).
QString HexDump(qint32 address, const QByteArray& bytes);

// "0A 1B 2C".
QString SpacedHex(const QByteArray& bytes);

// Bytes in JSON: an array of numbers 0-255. Every number vantorctl prints
// in JSON (addresses, lengths, bytes, positions) is a plain number.
QJsonArray JsonBytes(const QByteArray& bytes);

// Standard output, as text or as one JSON object on one line. A write that
// fails (a full disk, a closed terminal) is kept for StdoutError().
void PrintText(const QString& text);
void PrintJson(const QJsonObject& object);
// Raw bytes on standard output; false when they could not all be written.
bool WriteRawStdout(const QByteArray& bytes);
// Flushes standard output at the end of the run: 0 when everything written
// there arrived, else the system's error number of the first failure.
int FinishStdout();

// Progress of long work on standard error: bytes done of the total, the rate
// and the time left. Shown only when standard error is a terminal, and only
// once the work has taken longer than a second.
class Progress
{
public:
    explicit Progress(const QString& title);
    ~Progress();

    void update(qint64 done, qint64 total);
    // Wipes the line drawn, so that what is said next starts a clean line.
    void finish();

private:
    QString mTitle;
    bool mEnabled;
    bool mShown = false;
    QElapsedTimer mClock;
    qint64 mLastDrawMs = 0;
};
