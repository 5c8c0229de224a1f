#include "Sequence.h"

#include "BoardJobs.h"

#include <QStringList>

#include <algorithm>

using namespace sequence;

namespace {

constexpr quint8 kSpeed = 0xB2;
constexpr quint8 kOn = 0xE7;
constexpr quint8 kPosition = 0xE6;
constexpr quint8 kOff = 0xE8;

bool InRange(int value, int min, int max)
{
    return value >= min && value <= max;
}

} // namespace

// --- FrameCommand, ChannelChange ----------------------------------------------------

QByteArray FrameCommand::bytes() const
{
    QByteArray out;
    switch (kind) {
    case Kind::Speed:
        out.append(char(kSpeed)).append(char(value));
        break;
    case Kind::On:
        out.append(char(kOn)).append(char(channel));
        break;
    case Kind::Position:
        out.append(char(kPosition)).append(char(channel)).append(char(value));
        break;
    case Kind::Off:
        out.append(char(kOff)).append(char(channel));
        break;
    }
    return out;
}

int ChannelChange::delta() const
{
    if (kind != Kind::Moved || !before)
        return 0;
    return after.position - before->position;
}

// --- Frames -------------------------------------------------------------------------

bool Frame::operator==(const Frame& other) const
{
    return name == other.name && speed == other.speed && wait == other.wait &&
           (wait != Wait::Fixed || waitMs == other.waitMs) && holdMs == other.holdMs &&
           pose == other.pose;
}

QList<FrameCommand> FrameCommands(const Frame& frame)
{
    using K = FrameCommand::Kind;
    QList<FrameCommand> commands{{K::Speed, 0, frame.speed}};
    // QMap keeps its keys in ascending order: the channels go out that way.
    for (auto it = frame.pose.channels.cbegin(); it != frame.pose.channels.cend(); ++it) {
        if (it->on) {
            commands.append({K::On, it.key(), 0});
            commands.append({K::Position, it.key(), it->position});
        } else {
            commands.append({K::Off, it.key(), 0});
        }
    }
    return commands;
}

QByteArray FrameBytes(const Frame& frame)
{
    QByteArray out;
    for (const FrameCommand& command : FrameCommands(frame))
        out += command.bytes();
    return out;
}

QList<ChannelChange> FrameChanges(const Pose& before, const Frame& frame)
{
    using K = ChannelChange::Kind;
    QList<ChannelChange> changes;
    for (auto it = frame.pose.channels.cbegin(); it != frame.pose.channels.cend(); ++it) {
        const auto was = before.channels.constFind(it.key());
        std::optional<ServoSetting> previous;
        if (was != before.channels.cend())
            previous = *was;
        if (previous && *previous == *it)
            continue;
        ChannelChange change{it.key(), K::Moved, previous, *it};
        if (!it->on)
            change.kind = K::SwitchedOff;
        else if (!previous || !previous->on)
            change.kind = K::SwitchedOn;
        changes.append(change);
    }
    return changes;
}

QString CheckFrame(const Frame& frame)
{
    if (!InRange(frame.speed, 0, cMaxSpeed))
        return QStringLiteral("speed %1 is not 0-%2").arg(frame.speed).arg(cMaxSpeed);
    if (frame.wait == Frame::Wait::Fixed && !InRange(frame.waitMs, 0, cMaxMs))
        return QStringLiteral("wait %1 is not 0-%2 milliseconds").arg(frame.waitMs).arg(cMaxMs);
    if (!InRange(frame.holdMs, 0, cMaxMs))
        return QStringLiteral("hold %1 is not 0-%2 milliseconds").arg(frame.holdMs).arg(cMaxMs);
    for (auto it = frame.pose.channels.cbegin(); it != frame.pose.channels.cend(); ++it) {
        if (!InRange(it.key(), 1, cChannels))
            return QStringLiteral("channel %1 is not 1-%2").arg(it.key()).arg(cChannels);
        if (it->on && !InRange(it->position, 0, cMaxPosition))
            return QStringLiteral("channel %1: position %2 is not 0-%3")
                .arg(it.key())
                .arg(it->position)
                .arg(cMaxPosition);
    }
    return {};
}

QString CheckSequence(const Sequence& sequence)
{
    for (qsizetype i = 0; i < sequence.frames.size(); ++i) {
        const QString problem = CheckFrame(sequence.frames.at(i));
        if (!problem.isEmpty())
            return QStringLiteral("frame %1: %2").arg(i + 1).arg(problem);
    }
    return {};
}

// --- Sequence -----------------------------------------------------------------------

int Sequence::insertFrame(const Frame& frame, int at)
{
    if (at < 0 || at > frames.size())
        at = int(frames.size());
    frames.insert(at, frame);
    return at;
}

int Sequence::duplicateFrame(int index)
{
    if (index < 0 || index >= frames.size())
        return -1;
    Frame copy = frames.at(index);
    copy.name = copy.name.isEmpty() ? QStringLiteral("copy") : copy.name + QStringLiteral(" copy");
    frames.insert(index + 1, copy);
    return index + 1;
}

void Sequence::removeFrame(int index)
{
    if (index >= 0 && index < frames.size())
        frames.removeAt(index);
}

void Sequence::moveFrame(int from, int to)
{
    if (from < 0 || from >= frames.size() || to < 0 || to >= frames.size())
        return;
    frames.move(from, to);
}

Pose Sequence::poseBefore(int index) const
{
    Pose pose;
    const int end = std::clamp(index, 0, int(frames.size()));
    for (int i = 0; i < end; ++i) {
        const QMap<int, ServoSetting>& channels = frames.at(i).pose.channels;
        for (auto it = channels.cbegin(); it != channels.cend(); ++it)
            pose.channels.insert(it.key(), *it);
    }
    return pose;
}

QList<ChannelChange> Sequence::changes(int index) const
{
    if (index < 0 || index >= frames.size())
        return {};
    return FrameChanges(poseBefore(index), frames.at(index));
}

// --- Reading the pose ---------------------------------------------------------------

QList<int> GroupsOf(const QList<int>& channels)
{
    QList<int> groups;
    for (int channel : channels) {
        if (!InRange(channel, 1, cChannels))
            continue;
        const int group = (channel - 1) / ServoRefreshJob::cGroupSize + 1;
        if (!groups.contains(group))
            groups.append(group);
    }
    std::sort(groups.begin(), groups.end());
    return groups;
}

Pose PoseFromRefresh(const ServoRefreshJob& refresh, const QList<int>& channels)
{
    Pose pose;
    for (int channel : channels) {
        const int position = refresh.position(channel);
        if (position >= 0)
            pose.channels.insert(channel, ServoSetting::at(position));
    }
    return pose;
}

std::optional<QList<int>> ParseChannelList(const QString& text, QString* error)
{
    const auto refuse = [&](const QString& why) -> std::optional<QList<int>> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const auto channel = [](const QString& word) {
        bool ok = false;
        const int value = word.toInt(&ok, 10);
        return ok && !word.startsWith(QLatin1Char('+')) && InRange(value, 1, cChannels) ? value : 0;
    };
    QList<int> channels;
    if (text.trimmed().isEmpty())
        return refuse(QStringLiteral("no channels given"));
    for (const QString& raw : text.split(QLatin1Char(','))) {
        const QString part = raw.trimmed();
        const qsizetype dash = part.indexOf(QLatin1Char('-'), 1);
        const int first = channel(dash < 0 ? part : part.left(dash));
        const int last = dash < 0 ? first : channel(part.mid(dash + 1));
        if (!first || !last)
            return refuse(QStringLiteral("'%1' is not a channel 1-%2 or a range of them")
                              .arg(part)
                              .arg(cChannels));
        if (last < first)
            return refuse(QStringLiteral("the range '%1' runs backwards").arg(part));
        for (int c = first; c <= last; ++c) {
            if (!channels.contains(c))
                channels.append(c);
        }
    }
    std::sort(channels.begin(), channels.end());
    return channels;
}
