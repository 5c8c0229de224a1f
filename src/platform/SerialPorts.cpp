#include "SerialPorts.h"

#include "TtyBackend.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>
#include <optional>

namespace SerialPorts {
namespace {

QList<SerialPortEntry>& extras()
{
    static QList<SerialPortEntry> list;
    return list;
}

std::optional<QList<SerialPortEntry>>& overrideList()
{
    static std::optional<QList<SerialPortEntry>> list;
    return list;
}

// Ports are told apart by name the way the link finds the remembered one:
// without regard to case.
bool isListed(const QList<SerialPortEntry>& ports, const QString& name)
{
    return std::any_of(ports.cbegin(), ports.cend(), [&](const SerialPortEntry& p) {
        return p.name.compare(name, Qt::CaseInsensitive) == 0;
    });
}

} // namespace

SerialPortEntry deviceEntry(const QString& name, const QString& devicePath,
                            const QString& outputDriverName)
{
    SerialPortEntry e;
    e.name = name;
    e.inputDriverName = devicePath;
    e.outputDriverName = outputDriverName;
    e.makeBackend = [devicePath] { return std::make_unique<TtyBackend>(devicePath); };
    return e;
}

QList<SerialPortEntry> list()
{
    if (overrideList())
        return *overrideList();

    QList<SerialPortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append(deviceEntry(info.portName(), info.systemLocation(), info.serialNumber()));

    // Bluetooth serial links (rfcomm) are character devices the system's
    // enumeration skips; offer those that exist and are not listed already.
    const QStringList rfcomm =
        QDir(QStringLiteral("/dev")).entryList({QStringLiteral("rfcomm*")}, QDir::System);
    for (const QString& dev : rfcomm) {
        if (!isListed(ports, dev))
            ports.append(deviceEntry(dev, QStringLiteral("/dev/") + dev));
    }

    // Paths typed by hand: blanks around an entry are not part of it, empty
    // entries say nothing, and a name given twice is one port (the first).
    // Only paths with something there are offered: a bridge that is not
    // running (a dangling link left by socat, say) is no port to choose.
    const QString env = qEnvironmentVariable("VANTOR_IR_PORTS");
    for (const QString& entry : env.split(QLatin1Char(':'))) {
        const QString path = entry.trimmed();
        if (!path.isEmpty() && !isListed(ports, path) && QFileInfo::exists(path))
            ports.append(deviceEntry(path, path));
    }

    ports.append(extras());
    return ports;
}

int count()
{
    return int(list().size());
}

SerialPortEntry at(int index)
{
    const QList<SerialPortEntry> ports = list();
    if (index < 0 || index >= ports.size())
        return {};
    return ports.at(index);
}

void registerExtraPort(const SerialPortEntry& entry)
{
    extras().append(entry);
}

void clearExtraPorts()
{
    extras().clear();
}

void setOverride(const QList<SerialPortEntry>& ports)
{
    overrideList() = ports;
}

void clearOverride()
{
    overrideList().reset();
}

} // namespace SerialPorts
