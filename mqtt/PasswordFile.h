#pragma once
// The broker password kept in a file of its own, with the checks that every
// road that logs in (the program's settings, orvane-exec) makes alike.
#include <QByteArray>
#include <QString>

namespace Mqtt {

// The longest password file accepted.
inline constexpr qint64 kMaxPasswordFileBytes = 64 * 1024;

// Reads the password from the first line of the file at path, without its
// line end. Empty when read; else why it is refused, worded to follow
// "<path>, " (", which others may read (mode 0640); make it ..."): not a
// regular file, readable by others than its owner, unreadable, too long.
QString ReadPasswordFile(const QString& path, QByteArray& password);

} // namespace Mqtt
