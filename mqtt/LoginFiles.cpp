#include "mqtt/LoginFiles.h"

#include "base/Posix.h"

namespace Mqtt {

QString ReadPasswordFile(const QString& path, QByteArray& password)
{
    Posix::SmallFile f = Posix::ReadSmallFile(path, kMaxPasswordFileBytes);
    if (!f.ok)
        return f.why;
    // A password that others may read is no secret: refused before it is used.
    if ((f.mode & 077) != 0)
        return QStringLiteral("which others may read (mode %1); make it readable by its owner only (chmod 600)")
            .arg(f.mode & 0777, 4, 8, QLatin1Char('0'));
    password = f.bytes.left(f.bytes.indexOf('\n') < 0 ? f.bytes.size() : f.bytes.indexOf('\n'));
    while (password.endsWith('\r'))
        password.chop(1);
    return QString();
}

QString ReadCaFile(const QString& path, QByteArray& pem)
{
    Posix::SmallFile f = Posix::ReadSmallFile(path, kMaxCaFileBytes);
    if (!f.ok)
        return f.why;
    pem = std::move(f.bytes);
    return QString();
}

} // namespace Mqtt
