#pragma once
// The machine's serial devices and the COM<n> links of an application
// directory that name them: what --list-ports prints, what --link-port and
// Configuration > Serial Device make, and how a returning device is recognised.
#include <QList>
#include <QString>
#include <functional>
#include <optional>

class QTextStream;

namespace Posix {
struct TtyInfo;
}

namespace SerialDevices {

struct Device {
    QString path;          // /dev/ttyUSB0
    QString byId;          // its /dev/serial/by-id/... name, empty when it has none
    QString description;
    QString manufacturer;
    QString serialNumber;
    int vendorId = -1;     // USB ids, -1 for a device that is not on USB
    int productId = -1;
    QString driver{};      // of a USB device: ftdi_sio, cp210x, ch341-uart, cdc_acm; else empty
    QString usbPath{};     // the USB interface it hangs on, as 1-2.2:1.0 (bus, ports, configuration, interface)
    int latencyTimer = -1; // the adapter's latency timer in ms, read when listed; -1 where it keeps none
    // A USB adapter is the same by vendor, product and serial number, whatever
    // ttyUSB<n> it came back as; any other device by its path.
    bool SameAs(const Device& other) const;
};

// What sysfs says of a listed device's tty goes into it: driver, USB path,
// latency timer, and the adapter's own serial number over udev's cleaned copy.
void AddSysfs(Device& d, const Posix::TtyInfo& tty);

// Where the list comes from; tests supply their own. An empty function
// restores the machine's own list (QSerialPortInfo and /dev/serial/by-id).
using Source = std::function<QList<Device>()>;
void SetSource(Source source);
QList<Device> List();
// The listed device that `path` leads to (a link is followed), if any.
std::optional<Device> Find(const QString& path);

struct ComEntry {
    int port = 0;
    QString path;          // <app dir>/COM<n>
    QString target;        // where the link points, as written
    bool isLink = false;
    bool dangling = false; // a link whose target is missing
};
// The COM<n> entries of an application directory, in port order.
QList<ComEntry> ComEntries(const QString& appDir);

// What port `port` of appDir opens: its COM<port> entry when there is one
// (a link, even one that leads nowhere), else /dev/ttyS<port-1>.
QString PortDevice(const QString& appDir, int port);

// Where port `port` of appDir leads, as one line: "COM1 -> /dev/ttyUSB0",
// "... (missing)" for a dangling link, "COM1 is not a link", or the device
// it opens without one.
QString PortText(const QString& appDir, int port);

// Makes <appDir>/COM<port> a link to `device`, through its by-id name when the
// list has one; a /dev/orvane-* name (made by the udev rule) is kept as given. An existing link is replaced in one step. Returns an empty
// string when done, else why nothing was changed: "<device> does not exist"
// (then "; <listHint>" when given: where the caller's user finds the
// devices), "<device> is not a character device", ...
QString LinkPort(const QString& appDir, int port, const QString& device, const QString& listHint = QString());

// The report of --list-ports: devices, then the application directory's entries;
// every string a device or a file name gives by OutsideText's terminal rule.
void PrintList(QTextStream& out, const QString& appDir);
// What sysfs adds of a device, in one line: "ftdi_sio at USB 1-2.2:1.0,
// latency timer 1 ms"; empty when it adds nothing.
QString DriverText(const Device& device);

} // namespace SerialDevices
