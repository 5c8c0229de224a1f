#include "Output.h"

#include <QJsonDocument>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kBytesPerLine = 16;
// Progress appears once work has taken this long, and is redrawn this often.
constexpr auto kProgressAfter = 1000ms;
constexpr auto kProgressEvery = 200ms;

// The first failure on standard output; later ones follow from it.
int gStdoutError = 0;

// Notes a write to standard output, right after it, while errno still tells
// why it failed.
bool Noted(bool ok)
{
    if (!ok && gStdoutError == 0)
        gStdoutError = errno != 0 ? errno : EIO;
    return ok;
}

} // namespace

QString HexDump(qint32 address, const QByteArray& bytes)
{
    QString out;
    for (qsizetype line = 0; line < bytes.size(); line += kBytesPerLine) {
        const QByteArray chunk = bytes.mid(line, kBytesPerLine);
        out += QStringLiteral("%1 ").arg(address + line, 4, 16, QLatin1Char('0')).toUpper();
        QString ascii;
        for (int i = 0; i < kBytesPerLine; ++i) {
            if (i == kBytesPerLine / 2)
                out += QLatin1Char(' ');
            if (i < chunk.size()) {
                const quint8 b = quint8(chunk.at(i));
                out += QStringLiteral(" %1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
                ascii += (b >= 0x20 && b < 0x7F) ? QChar(b) : QLatin1Char('.');
            } else {
                out += QStringLiteral("   ");
            }
        }
        out += QStringLiteral("  |") + ascii + QStringLiteral("|\n");
    }
    return out;
}

QJsonArray JsonBytes(const QByteArray& bytes)
{
    QJsonArray array;
    for (const char b : bytes)
        array.append(int(quint8(b)));
    return array;
}

QString SpacedHex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

void PrintText(const QString& text)
{
    errno = 0;
    Noted(std::fputs(text.toLocal8Bit().constData(), stdout) >= 0);
}

void PrintJson(const QJsonObject& object)
{
    errno = 0;
    Noted(std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).append('\n').constData(),
                     stdout) >= 0);
}

bool WriteRawStdout(const QByteArray& bytes)
{
    errno = 0;
    const size_t n = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    return Noted(n == size_t(bytes.size()) && std::fflush(stdout) == 0);
}

int FinishStdout()
{
    errno = 0;
    Noted(std::fflush(stdout) == 0 && !std::ferror(stdout));
    return gStdoutError;
}

Progress::Progress(const QString& title) : mTitle(title), mEnabled(::isatty(STDERR_FILENO) == 1)
{
    mClock.start();
}

Progress::~Progress()
{
    finish();
}

void Progress::finish()
{
    if (mShown)
        std::fputs("\r\033[K", stderr);
    mShown = false;
}

void Progress::update(qint64 done, qint64 total)
{
    if (!mEnabled)
        return;
    const qint64 ms = mClock.elapsed();
    if (ms < kProgressAfter.count() || ms - mLastDrawMs < kProgressEvery.count())
        return;
    mLastDrawMs = ms;
    mShown = true;
    const double rate = double(done) * 1000.0 / double(ms);
    const qint64 left = rate > 0 ? qint64(double(total - done) / rate) : 0;
    std::fprintf(stderr, "\r\033[K%s: %lld/%lld bytes, %.0f B/s, %lld:%02lld left",
                 qPrintable(mTitle), static_cast<long long>(done), static_cast<long long>(total),
                 rate, static_cast<long long>(left / 60), static_cast<long long>(left % 60));
}
