// Posix: what sysfs says of a serial device (driver, USB interface, serial number, latency timer).
#include "base/Posix.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace Posix {
namespace {

QString g_sysfsRoot;

// A small sysfs attribute without its line end; empty when there is none.
// A sysfs attribute is at most a page; a USB string of 126 UTF-16 units takes up to 378 bytes of UTF-8.
constexpr qint64 kSysfsPage = 4096;

QString ReadAttribute(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = f.read(kSysfsPage);
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    return QString::fromUtf8(bytes);
}

} // namespace

void SetSysfsRoot(const QString& root) { g_sysfsRoot = root; }

QString SysfsRoot() { return g_sysfsRoot.isEmpty() ? QStringLiteral("/sys") : g_sysfsRoot; }

TtyInfo TtyInSysfs(const QString& tty)
{
    TtyInfo t;
    if (tty.isEmpty() || tty.contains(QLatin1Char('/')) || tty.startsWith(QLatin1Char('.')))
        return t;
    // class/tty/<tty>/device leads to the port's device: the usb-serial port of
    // an adapter, the USB interface of a CDC-ACM device, the UART's platform device.
    const QString device = QFileInfo(SysfsRoot() + QStringLiteral("/class/tty/") + tty + QStringLiteral("/device"))
                               .canonicalFilePath();
    if (device.isEmpty())
        return t;
    const QFileInfo driver(device + QStringLiteral("/driver"));
    if (driver.exists())
        t.driver = QFileInfo(driver.canonicalFilePath()).fileName();
    bool ok = false;
    const int latency = ReadAttribute(device + QStringLiteral("/latency_timer")).toInt(&ok);
    if (ok)
        t.latencyTimer = latency;
    // Upwards, the first USB interface: <bus>-<ports>:<configuration>.<interface>;
    // the USB device above it holds the serial number.
    static const QRegularExpression usbInterface(QStringLiteral("^[0-9]+-[0-9.]+:[0-9]+\\.[0-9]+$"));
    for (QString p = device; p.size() > 1; p = QFileInfo(p).path()) {
        const QString name = QFileInfo(p).fileName();
        if (usbInterface.match(name).hasMatch()) {
            t.usbPath = name;
            t.usbSerial = ReadAttribute(QFileInfo(p).path() + QStringLiteral("/serial"));
            break;
        }
    }
    return t;
}

} // namespace Posix
