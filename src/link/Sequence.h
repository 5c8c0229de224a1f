#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

class ServoRefreshJob;

// Poses and sequences: a motion taught on the board (or written by hand),
// rehearsed on the virtual controller and played back. Plain values, free of
// widgets and of the line: a window edits them, SequenceFile reads and writes
// them, SequencePlayerJob plays them.

namespace sequence {

inline constexpr int cChannels = 48;
inline constexpr int cMaxPosition = 255;
inline constexpr int cMaxSpeed = 255;
// The longest wait or hold a frame may ask for: an hour.
inline constexpr int cMaxMs = 3'600'000;

} // namespace sequence

// What one servo is set to in a pose: on at a position, or off.
struct ServoSetting
{
    bool on = true;
    int position = 0; // 0..255; means nothing while off

    static ServoSetting at(int position) { return {true, position}; }
    static ServoSetting off() { return {false, 0}; }

    bool operator==(const ServoSetting& other) const
    {
        return on == other.on && (!on || position == other.position);
    }
};

// The settings of the channels a pose chooses (1..48), in channel order.
// Channels it does not name are left as they are.
struct Pose
{
    QMap<int, ServoSetting> channels;

    bool operator==(const Pose& other) const = default;
};

// One step of a motion: a pose, the speed to move at (the controller's B2
// speed step, 0..255), how to wait once it is sent, a hold after that, and a
// name.
struct Frame
{
    enum class Wait
    {
        UntilStopped, // poll the moving flag (B0 00) until the board reports 0
        Fixed,        // a pause of waitMs
    };

    QString name;
    int speed = 0;
    Wait wait = Wait::UntilStopped;
    int waitMs = 0; // Fixed only
    int holdMs = 0; // a pause after the wait
    Pose pose;

    // waitMs counts only for a fixed wait.
    bool operator==(const Frame& other) const;
};

// One exchange of a frame on the line, in the order the player sends them:
// the speed, then for each channel in ascending order "on" and "position",
// or "off".
struct FrameCommand
{
    enum class Kind
    {
        Speed,    // B2 speed
        On,       // E7 ch
        Position, // E6 ch pos
        Off,      // E8 ch
    };
    Kind kind = Kind::Speed;
    int channel = 0;
    int value = 0; // the speed or the position

    QByteArray bytes() const;
    bool operator==(const FrameCommand& other) const = default;
};

// How one channel of a frame differs from what the board holds before it.
struct ChannelChange
{
    enum class Kind
    {
        Moved,       // on before and after, at another position
        SwitchedOn,  // off before (or unknown), on now
        SwitchedOff, // on (or unknown) before, off now
    };
    int channel = 0;
    Kind kind = Kind::Moved;
    std::optional<ServoSetting> before; // empty: no frame before named the channel
    ServoSetting after;

    // After minus before, when the channel was on at a known position before
    // and is on now; 0 otherwise.
    int delta() const;
    bool operator==(const ChannelChange& other) const = default;
};

// A named, ordered list of frames, with the edits a frame editor makes.
// Indexes out of range are ignored by the edits.
struct Sequence
{
    QString name;
    QList<Frame> frames;

    // Inserts the frame at `at` (appends when out of range); its index.
    int insertFrame(const Frame& frame, int at = -1);
    // A copy of the frame right after it ("NAME copy"); the copy's index,
    // -1 when there is no such frame.
    int duplicateFrame(int index);
    void removeFrame(int index);
    // Moves the frame at `from` so that it ends up at index `to`.
    void moveFrame(int from, int to);

    // What the board holds after frames [0, index) have been played, as far
    // as the sequence knows: each channel as the last frame that named it.
    Pose poseBefore(int index) const;
    // The frame at `index` against poseBefore(index).
    QList<ChannelChange> changes(int index) const;

    bool operator==(const Sequence& other) const = default;
};

// The exchanges of a frame, and all their bytes in one run.
QList<FrameCommand> FrameCommands(const Frame& frame);
QByteArray FrameBytes(const Frame& frame);

// The channels of `frame` whose setting differs from `before`, in channel
// order; channels that stay as they were are left out.
QList<ChannelChange> FrameChanges(const Pose& before, const Frame& frame);

// Why a frame cannot be sent (a value outside what the line carries), or an
// empty string. For a sequence, the first such frame is named.
QString CheckFrame(const Frame& frame);
QString CheckSequence(const Sequence& sequence);

// The servo groups (1..8, six channels each) that hold the channels, in
// ascending order: what a ServoRefreshJob reads for them.
QList<int> GroupsOf(const QList<int>& channels);
// The positions a finished refresh read for the channels, each on (the board
// does not tell whether a servo is on). Channels it did not read are left
// out.
Pose PoseFromRefresh(const ServoRefreshJob& refresh, const QList<int>& channels);

// "1-6,9": channels 1..48 as single numbers and ranges, in ascending order
// without repeats. Empty, with the reason in *error, for anything else.
std::optional<QList<int>> ParseChannelList(const QString& text, QString* error);
