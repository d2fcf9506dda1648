#include "mqtt/PasswordFile.h"

#include <QFile>
#include <QFileInfo>

namespace Mqtt {

QString ReadPasswordFile(const QString& path, QByteArray& password)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return QStringLiteral("which is no readable file");
    // The permission bits as chmod writes them.
    const int p = int(info.permissions());
    const int mode = ((p >> 12) & 7) << 6 | ((p >> 4) & 7) << 3 | (p & 7);
    // A password that others may read is no secret: refused before it is used.
    if ((mode & 077) != 0)
        return QStringLiteral("which others may read (mode %1); make it readable by its owner only (chmod 600)")
            .arg(mode, 4, 8, QLatin1Char('0'));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("which cannot be read: %1").arg(f.errorString());
    if (f.size() > kMaxPasswordFileBytes)
        return QStringLiteral("which is %1 bytes long; a password file holds at most %2")
            .arg(f.size())
            .arg(kMaxPasswordFileBytes);
    password = f.readLine(kMaxPasswordFileBytes);
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    return QString();
}

} // namespace Mqtt
