// Feeds arbitrary answer streams to the controller link: which command runs, what the device
// answers, how the answers are split into reads, and when time passes. The link must neither
// crash nor meet undefined behaviour, and it must hold to its rules:
//  - every exchange finishes or fails within the reply bound;
//  - a finished memory read holds exactly one byte per address asked for;
//  - nothing finishes on a wrong echo or on a read that brought more than one byte.
#include "link/ControllerLink.h"
#include "platform/SerialPorts.h"
#include "settings/PreferClass.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

qint64 gNow = 0;

// What went over the line: each byte written with the read that answered it.
struct Pair
{
    quint8 written;
    QByteArray answer;
};

struct Wire
{
    std::vector<quint8> written;
    QByteArray pending; // fed, not read yet
    std::vector<Pair> pairs;
};

// A port whose far end is the fuzzer.
class ScriptBackend : public SerialBackend
{
public:
    explicit ScriptBackend(Wire* wire) : mWire(wire) {}
    bool open(qint32) override { return mOpen = true; }
    void close() override { mOpen = false; }
    bool isOpen() const override { return mOpen; }
    qint64 write(const QByteArray& bytes) override
    {
        for (char c : bytes)
            mWire->written.push_back(quint8(c));
        return bytes.size();
    }
    void flush() override {}
    QByteArray readAll() override
    {
        QByteArray out;
        out.swap(mWire->pending);
        if (!out.isEmpty() && !mWire->written.empty())
            mWire->pairs.push_back({mWire->written.back(), out});
        return out;
    }

private:
    Wire* mWire;
    bool mOpen = false;
};

struct Input
{
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    quint8 next() { return at < size ? data[at++] : 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_link_replies";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    Input in{data, size};
    Wire wire;
    SerialPorts::setOverride({{QStringLiteral("fuzz"), {}, {}, [&wire] {
                                   return std::unique_ptr<SerialBackend>(new ScriptBackend(&wire));
                               }}});
    PreferClass prefs; // no file: nothing on disk is touched
    prefs.mPortInfo = SerialPortInfo();
    prefs.mPortInfo->mName = QStringLiteral("fuzz");
    prefs.mNotAutoDisconnect = in.next() & 1;

    ControllerLink link(&prefs);
    gNow = 0;
    link.setClock([] { return gNow; });
    constexpr qint64 kBound = 1000;
    link.setReplyTimeout(std::chrono::milliseconds(kBound));

    // The command, and what a finished exchange must have read.
    const quint8 which = in.next() % 8;
    const qint32 address = qint32(in.next()) | (qint32(in.next()) << 8);
    const qint32 length = 1 + in.next() % 8;
    QByteArray bytes;
    for (int i = 0; i < length; ++i)
        bytes.append(char(in.next()));
    const qint32 start = std::min(address, 0xFFFF - length + 1); // a range the link accepts
    int echoGroup = 0; // line bytes per address whose answers must all be echoes but the last
    bool lastEchoed = false;
    switch (which) {
    case 0:
        link.Cmd_SRAM_READ(start, length);
        echoGroup = 4;
        break;
    case 1:
        link.Cmd_SRAM_WRITE(start, bytes);
        echoGroup = 4;
        lastEchoed = true;
        break;
    case 2:
        link.Cmd_EXTROM_WRITE(start, bytes);
        echoGroup = 6;
        lastEchoed = true;
        break;
    case 3:
        link.Cmd_INTROM_READ(start, length);
        echoGroup = 4;
        break;
    case 4:
        link.Cmd_Excute(bytes, in.next() & 1);
        break;
    case 5:
        link.RbCmdSend("CONTROLER_INFORMATION", QByteArray());
        break;
    case 6:
        link.Cmd_IDENTIFY();
        break;
    default:
        link.RbCmdSend("STOP", QByteArray());
        break;
    }

    bool finished = false;
    QObject::connect(&link, &ControllerLink::mcpFinished, [&] {
        finished = true;
        for (const Pair& p : wire.pairs) {
            if (p.answer.size() != 1)
                std::abort(); // finished although a read brought more than one byte
        }
        if (echoGroup == 0)
            return;
        if (link.mReadData.size() != length)
            std::abort(); // a memory exchange keeps one byte per address
        for (size_t i = 0; i < wire.pairs.size(); ++i) {
            const bool dataStep = i % size_t(echoGroup) == size_t(echoGroup - 1);
            if ((!dataStep || lastEchoed) &&
                wire.pairs[i].answer.at(0) != char(wire.pairs[i].written))
                std::abort(); // finished on a wrong echo
        }
    });

    // The script: answers (echoes, bytes of the input, several at once), polls and time.
    while (in.more() && !finished) {
        const quint8 op = in.next();
        switch (op >> 6) {
        case 0: // the device echoes the last byte written
            if (!wire.written.empty())
                wire.pending.append(char(wire.written.back()));
            link.DoSerialRead();
            break;
        case 1: { // 1..4 bytes of the input in one read
            const int n = 1 + (op & 3);
            for (int i = 0; i < n; ++i)
                wire.pending.append(char(in.next()));
            link.DoSerialRead();
            break;
        }
        case 2: // time passes
            gNow += (op & 0x3F) * 40;
            link.ReplyTimer_Action();
            link.DrainTimer_Action();
            break;
        default: // the backup poll finds nothing new
            link.SerialBackUpTimer_Action();
            break;
        }
    }

    // Whatever still waits ends within the bound.
    gNow += kBound + 1;
    link.ReplyTimer_Action();
    if (link.exchangeInFlight())
        std::abort();
    SerialPorts::clearOverride();
    return 0;
}
