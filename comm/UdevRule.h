#pragma once
// orvane --udev-rule: a udev rule file for the USB adapter a port leads to.
// It gives the controller a stable name (/dev/orvane-<NAME>), lets the person
// at the machine and the user who made the rule open it without the dialout
// group, keeps ModemManager from probing it and, on an FTDI chip, sets the
// latency timer to 1 ms.
#include "comm/SerialDevices.h"

#include <QString>

class QTextStream;

namespace UdevRule {

// Every text from outside the program (the adapter's strings, its USB path,
// the owner, NAME) goes into the rule file through Safe: OutsideText's rule
// for a udev comment or value. An empty value is left out or fallen back from.
enum class Place { Comment, Value };
QString Safe(const QString& text, Place where);

// False for a serial number a rule cannot match exactly: empty, or refused as a value.
bool SerialUsable(const QString& serial);

// The link below /dev: orvane-<name>, or orvane-com<port> without a name.
QString LinkName(const QString& name, int port);

// Where the rule belongs: /etc/udev/rules.d/70-orvane-<name or com<port>>.rules,
// before the seat rules (73) that act on the uaccess tag.
QString FilePath(const QString& name, int port);

// The rule file for `device`, matched by vendor, product and serial number,
// or by its USB path where the serial number cannot be used. Empty, with why,
// for a device that is not on USB or that neither can match.
QString Text(const SerialDevices::Device& device, int port, const QString& name, const QString& owner,
             QString* why);

// --udev-rule [PORT] for appDir (no trailing separator): `port` as typed, or
// empty for the PORT of appDir's settings. NAME comes from those settings when
// they can be read. Prints the rule to out and returns 0; else returns 1 with
// why: no readable settings without a port, a link that leads nowhere, a
// device that is not on USB.
int Print(QTextStream& out, const QString& appDir, const QString& port, QString* why);

} // namespace UdevRule
