#include "comm/SerialDevices.h"

#include "base/OutsideText.h"

#include "base/Posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTextStream>
#include <algorithm>

namespace SerialDevices {
namespace {

Source g_source;

// by-id names are links made by udev; map each device to the first that names it.
QString ByIdName(const QString& devicePath)
{
    const QDir dir(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == devicePath)
            return link.absoluteFilePath();
    }
    return {};
}

QList<Device> MachineDevices()
{
    QList<Device> list;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        Device d;
        d.path = info.systemLocation();
        d.byId = ByIdName(QFileInfo(d.path).canonicalFilePath());
        d.description = info.description();
        d.manufacturer = info.manufacturer();
        d.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            d.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            d.productId = info.productIdentifier();
        AddSysfs(d, Posix::TtyInSysfs(QFileInfo(QFileInfo(d.path).canonicalFilePath()).fileName()));
        list.append(d);
    }
    return list;
}

QString Hex4(int id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); }

} // namespace

void AddSysfs(Device& d, const Posix::TtyInfo& tty)
{
    // A UART's own driver sits above the serial core's "port" device that sysfs names: USB only.
    if (!tty.usbPath.isEmpty())
        d.driver = tty.driver;
    d.usbPath = tty.usbPath;
    d.latencyTimer = tty.latencyTimer;
    // udev's copy of the serial number has its odd characters replaced; a rule matches the adapter's own.
    if (!tty.usbSerial.isEmpty())
        d.serialNumber = tty.usbSerial;
}

bool Device::SameAs(const Device& other) const
{
    if (vendorId >= 0 || other.vendorId >= 0)
        return vendorId == other.vendorId && productId == other.productId
               && serialNumber == other.serialNumber;
    return path == other.path;
}

void SetSource(Source source) { g_source = std::move(source); }

QList<Device> List() { return g_source ? g_source() : MachineDevices(); }

std::optional<Device> Find(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const Device& d : List()) {
        if (d.path == path || (!canonical.isEmpty() && QFileInfo(d.path).canonicalFilePath() == canonical)
            || (!d.byId.isEmpty() && d.byId == path))
            return d;
    }
    return std::nullopt;
}

QList<ComEntry> ComEntries(const QString& appDir)
{
    static const QRegularExpression name(QStringLiteral("^COM([1-9][0-9]{0,4})$"));
    QList<ComEntry> list;
    const QDir dir(appDir);
    for (const QFileInfo& fi : dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const auto m = name.match(fi.fileName());
        if (!m.hasMatch())
            continue;
        ComEntry e;
        e.port = m.captured(1).toInt();
        e.path = fi.absoluteFilePath();
        e.isLink = fi.isSymLink();
        e.target = e.isLink ? fi.symLinkTarget() : QString();
        e.dangling = e.isLink && !fi.exists();
        list.append(e);
    }
    std::sort(list.begin(), list.end(), [](const ComEntry& a, const ComEntry& b) { return a.port < b.port; });
    return list;
}

QString PortDevice(const QString& appDir, int port)
{
    const QFileInfo entry(QDir(appDir).filePath(QStringLiteral("COM%1").arg(port)));
    if (entry.exists() || entry.isSymLink())
        return entry.filePath();
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

QString PortText(const QString& appDir, int port)
{
    const QFileInfo fi(QDir(appDir).filePath(QStringLiteral("COM%1").arg(port)));
    const QString com = QStringLiteral("COM%1").arg(port);
    if (fi.isSymLink())
        return com + QStringLiteral(" -> ") + fi.symLinkTarget() + (fi.exists() ? QString() : QStringLiteral(" (missing)"));
    if (fi.exists())
        return com + QStringLiteral(" is not a link");
    return com + QStringLiteral(" -> no link; port %1 opens /dev/ttyS%2").arg(port).arg(port - 1);
}

QString LinkPort(const QString& appDir, int port, const QString& device, const QString& listHint)
{
    if (port < 1 || port > 32767)
        return QStringLiteral("port %1 is not valid: ports are numbered from 1 to 32767").arg(port);
    bool missing = false;
    if (const QString why = Posix::CharDeviceRefusal(device, &missing); !why.isEmpty())
        return QStringLiteral("%1 %2").arg(device, why)
            + (missing && !listHint.isEmpty() ? QStringLiteral("; ") + listHint : QString());
    if (!QFileInfo(appDir).isDir())
        return QStringLiteral("the application directory %1 does not exist").arg(appDir);
    const QString entry = QDir(appDir).filePath(QStringLiteral("COM%1").arg(port));
    const QFileInfo existing(entry);
    if ((existing.exists() || existing.isSymLink()) && !existing.isSymLink())
        return QStringLiteral("%1 exists and is not a link; it is left as it is").arg(entry);

    // The by-id name survives the adapter coming back under another ttyUSB number;
    // so does the name the program's own udev rule makes, which is kept as given.
    QString target = QFileInfo(device).absoluteFilePath();
    if (const auto d = Find(device); d && !d->byId.isEmpty() && !target.startsWith(QLatin1String("/dev/orvane-")))
        target = d->byId;
    // A new link renamed over the old one: the entry is never missing in between.
    const QString temp = entry + QStringLiteral(".new");
    QFile::remove(temp);
    if (!QFile::link(target, temp))
        return QStringLiteral("cannot make a link in %1").arg(appDir);
    if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(entry).constData()) != 0) {
        QFile::remove(temp);
        return QStringLiteral("cannot replace %1").arg(entry);
    }
    return {};
}

QString DriverText(const Device& d)
{
    QString text = d.driver;
    if (!d.usbPath.isEmpty())
        text += (text.isEmpty() ? QString() : QStringLiteral(" ")) + QStringLiteral("at USB ") + d.usbPath;
    if (d.latencyTimer >= 0)
        text += (text.isEmpty() ? QString() : QStringLiteral(", ")) + QStringLiteral("latency timer %1 ms").arg(d.latencyTimer);
    return text;
}

void PrintList(QTextStream& out, const QString& appDir)
{
    // What a device or a file name says goes to a person's terminal: it may not
    // make up entries, move the cursor or turn the line around.
    const auto shown = [](const QString& text) { return OutsideText::For(OutsideText::Target::Terminal, text); };
    const QList<Device> devices = List();
    out << "Serial devices:\n";
    if (devices.isEmpty())
        out << "  none found\n";
    for (const Device& d : devices) {
        out << "  " << shown(d.path) << '\n';
        if (!d.byId.isEmpty())
            out << "    by-id:        " << shown(d.byId) << '\n';
        if (!d.description.isEmpty())
            out << "    description:  " << shown(d.description) << '\n';
        if (!d.manufacturer.isEmpty())
            out << "    manufacturer: " << shown(d.manufacturer) << '\n';
        if (!d.serialNumber.isEmpty())
            out << "    serial:       " << shown(d.serialNumber) << '\n';
        if (d.vendorId >= 0)
            out << "    USB id:       " << Hex4(d.vendorId) << ':' << Hex4(d.productId) << '\n';
        if (!d.driver.isEmpty())
            out << "    driver:       " << shown(d.driver) << '\n';
        if (!d.usbPath.isEmpty())
            out << "    USB path:     " << shown(d.usbPath) << '\n';
        if (d.latencyTimer >= 0)
            out << "    latency:      " << d.latencyTimer << " ms\n";
    }
    out << "Ports of " << shown(appDir) << ":\n";
    const QList<ComEntry> entries = ComEntries(appDir);
    if (entries.isEmpty())
        out << "  none: port N opens /dev/ttyS<N-1>; make one with --link-port N DEVICE\n";
    for (const ComEntry& e : entries)
        out << "  " << shown(PortText(appDir, e.port)) << '\n';
}

} // namespace SerialDevices
