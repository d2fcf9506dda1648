#pragma once
// The files a broker login names, the password file and the CA file, with the
// checks that every road that logs in (the program's settings, orvane-exec)
// makes alike. Both are read through Posix::ReadSmallFile: never waiting on a
// FIFO, a regular file only, below a size limit.
#include <QByteArray>
#include <QString>

namespace Mqtt {

// The longest password file accepted.
inline constexpr qint64 kMaxPasswordFileBytes = 64 * 1024;
// Far above a system's whole bundle of authorities (about 200 KiB).
inline constexpr qint64 kMaxCaFileBytes = 4 * 1024 * 1024;

// Reads the password from the first line of the file at path, without its
// line end. Empty when read; else why it is refused, worded to follow
// "<path>, " (", which others may read (mode 0640); make it ..."): not a
// regular file, readable by others than its owner, unreadable, too long.
QString ReadPasswordFile(const QString& path, QByteArray& password);
// Reads the CA file's certificates; empty when read, else why not, worded as above.
QString ReadCaFile(const QString& path, QByteArray& pem);

} // namespace Mqtt
