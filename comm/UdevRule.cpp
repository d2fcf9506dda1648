#include "comm/UdevRule.h"

#include "base/ControllerName.h"
#include "base/NumText.h"
#include "base/OutsideText.h"
#include "base/Posix.h"
#include "comm/LEDCOMM.h"
#include "params/TRAPAR.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QTextStream>

namespace UdevRule {
namespace {

QString Hex(int id, int digits) { return QStringLiteral("%1").arg(id, digits, 16, QLatin1Char('0')); }

// PORT and NAME of the settings, read without a message box: a task of the
// command line says what is wrong in one line instead.
struct Settings {
    bool read = false;
    QString port;
    QString name;
};

Settings ReadSettings(const QString& appDir)
{
    Settings s;
    const QFileInfo file(QDir(appDir).filePath(LEDCOMM::kSettingsFile));
    if (!file.isFile() || !file.isReadable())
        return s;
    TRAPAR::SetParDir(appDir + QLatin1Char('/'));
    TRAPAR::SetParFile(LEDCOMM::kSettingsFile);
    if (TRAPAR::LoadPars() != 1)
        return s;
    s.read = true;
    s.port = TRAPAR::ValueToText(TRAPAR::Find(QLatin1String(LEDCOMM::kPortSetting)).value_or(QVariant())).trimmed();
    s.name = TRAPAR::ConfiguredName();
    return s;
}

} // namespace

QString Safe(const QString& text, Place where)
{
    return OutsideText::For(where == Place::Comment ? OutsideText::Target::UdevComment : OutsideText::Target::UdevValue,
                            text);
}

bool SerialUsable(const QString& serial) { return !Safe(serial, Place::Value).isEmpty(); }

QString LinkName(const QString& name, int port)
{
    return QStringLiteral("orvane-") + (name.isEmpty() ? QStringLiteral("com%1").arg(port) : name);
}

QString FilePath(const QString& name, int port)
{
    return QStringLiteral("/etc/udev/rules.d/70-") + LinkName(name, port) + QStringLiteral(".rules");
}

QString Text(const SerialDevices::Device& d, int port, const QString& nameAsGiven, const QString& ownerAsGiven,
             QString* why)
{
    if (d.vendorId < 0 || d.productId < 0) {
        *why = QStringLiteral("%1 is not a USB device; a udev rule is made for USB adapters only").arg(d.path);
        return QString();
    }
    // A NAME that is no name gives no link; an owner udev would misread is left out.
    const QString name = ControllerName::IsValid(nameAsGiven) ? Safe(nameAsGiven, Place::Value) : QString();
    const QString owner = Safe(ownerAsGiven, Place::Value);
    // 1-2.2:1.0 is the USB device 1-2.2, configuration 1, interface 0.
    const QString usbDevice = Safe(d.usbPath.section(QLatin1Char(':'), 0, 0), Place::Value);
    bool ok = false;
    const int usbInterface = d.usbPath.section(QLatin1Char(':'), 1).section(QLatin1Char('.'), 1).toInt(&ok);
    const bool bySerial = SerialUsable(d.serialNumber);
    if (!bySerial && usbDevice.isEmpty()) {
        *why = QStringLiteral("%1 has no serial number a rule can match, and sysfs names no USB path for it")
                   .arg(d.path);
        return QString();
    }

    QStringList about;
    for (const QString& s : {d.manufacturer, d.description})
        if (!s.isEmpty())
            about << s;
    about << Hex(d.vendorId, 4) + QLatin1Char(':') + Hex(d.productId, 4);
    if (!d.serialNumber.isEmpty())
        about << QStringLiteral("serial ") + d.serialNumber;
    if (!d.driver.isEmpty())
        about << QStringLiteral("driver ") + d.driver;
    if (!d.usbPath.isEmpty())
        about << QStringLiteral("USB path ") + d.usbPath;

    const QString link = LinkName(name, port);
    QString text;
    QTextStream out(&text);
    const auto comment = [&out](const QString& line) { out << "# " << Safe(line, Place::Comment) << "\n"; };
    comment(FilePath(name, port) + QStringLiteral(", made by orvane --udev-rule for port %1").arg(port)
            + (name.isEmpty() ? QString() : QStringLiteral(" of ") + name) + QLatin1Char(':'));
    comment(about.join(QStringLiteral(", ")) + QLatin1Char('.'));
    if (!bySerial) {
        comment((d.serialNumber.isEmpty() ? QStringLiteral("The adapter has no serial number")
                                          : QStringLiteral("The serial number holds characters udev reads as a pattern"))
                + QStringLiteral(", so this rule matches the USB port %1 instead: keep the adapter in that port.")
                      .arg(usbDevice));
    }
    comment(QStringLiteral("/dev/%1 stays the same whatever ttyUSB number the adapter gets: orvane --link-port %2 /dev/%1")
                .arg(link)
                .arg(port));
    comment(QStringLiteral("uaccess: the person at the machine may open it; ")
            + (owner.isEmpty() ? QString() : QStringLiteral("OWNER: %1 may, with nobody logged in; ").arg(owner))
            + QStringLiteral("ModemManager leaves it alone."));

    QString match = QStringLiteral("SUBSYSTEM==\"tty\", ");
    if (!bySerial)
        match += QStringLiteral("KERNELS==\"%1\", ").arg(usbDevice);
    match += QStringLiteral("ATTRS{idVendor}==\"%1\", ATTRS{idProduct}==\"%2\"")
                 .arg(Hex(d.vendorId, 4), Hex(d.productId, 4));
    if (bySerial)
        match += QStringLiteral(", ATTRS{serial}==\"%1\"").arg(d.serialNumber);
    // One adapter may carry several ports under one serial number (FT2232, FT4232).
    if (ok)
        match += QStringLiteral(", ENV{ID_USB_INTERFACE_NUM}==\"%1\"").arg(Hex(usbInterface, 2));
    out << match << ", SYMLINK+=\"" << link << "\", TAG+=\"uaccess\", "
        << (owner.isEmpty() ? QString() : QStringLiteral("OWNER=\"%1\", ").arg(owner))
        << "ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
    if (d.driver == QLatin1String("ftdi_sio")) {
        comment(QStringLiteral("The FTDI driver holds received bytes until its latency timer runs out (16 ms); 1 ms "
                               "answers at once."));
        out << match << ", ATTR{device/latency_timer}=\"1\"\n";
    }
    out.flush();
    return text;
}

int Print(QTextStream& out, const QString& appDir, const QString& portText, QString* why)
{
    const Settings settings = ReadSettings(appDir);
    int16_t port = 0;
    if (portText.isEmpty()) {
        if (!settings.read) {
            *why = QStringLiteral("no readable settings file %1 names the port; give it: orvane --udev-rule PORT")
                       .arg(QDir(appDir).filePath(LEDCOMM::kSettingsFile));
            return 1;
        }
        if (!NumText::ToInt16(settings.port, port) || port < 1) {
            const QString file = QDir(appDir).filePath(LEDCOMM::kSettingsFile);
            *why = (settings.port.isEmpty()
                        ? QStringLiteral("%1 names no PORT").arg(file)
                        : QStringLiteral("PORT in %1 is not a port number: \"%2\"").arg(file, settings.port.left(40)))
                + QStringLiteral("; give it: orvane --udev-rule PORT");
            return 1;
        }
    } else {
        bool ok = false;
        const int n = portText.toInt(&ok);
        if (!ok || n < 1 || n > 32767) {
            *why = QStringLiteral("port %1 is not a number from 1 to 32767").arg(portText);
            return 1;
        }
        port = int16_t(n);
    }

    const QString where = SerialDevices::PortText(appDir, port);
    const QString device = QFileInfo(SerialDevices::PortDevice(appDir, port)).canonicalFilePath();
    if (device.isEmpty()) {
        *why = where + QStringLiteral(": it leads nowhere; plug the adapter in, or link the port to it with "
                                      "orvane --link-port %1 DEVICE").arg(port);
        return 1;
    }
    const auto found = SerialDevices::Find(device);
    if (!found || found->vendorId < 0) {
        *why = where + QStringLiteral(": %1 is not a USB device; a udev rule is made for USB adapters only")
                           .arg(device);
        return 1;
    }
    const QString text = Text(*found, port, settings.name, Posix::UserName(), why);
    if (text.isEmpty()) {
        *why = where + QStringLiteral(": ") + *why;
        return 1;
    }
    out << text;
    out.flush();
    return 0;
}

} // namespace UdevRule
