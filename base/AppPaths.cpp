#include "base/AppPaths.h"

#include <QDir>
#include <QFileInfo>

namespace AppPaths {

QString UserConfigDir()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/orvane");
}

QString InstalledDataDir(const QString& exeDir)
{
    const QString data = exeDir + QStringLiteral("/../share/orvane");
    if (!QFileInfo::exists(data + QStringLiteral("/LED_COMMANDS.TXT")))
        return {};
    return QFileInfo(data).canonicalFilePath();
}

QString DefaultAppDir(const QString& exeDir)
{
    const QString dir = qEnvironmentVariable("ORVANE_APP_DIR");
    if (!dir.isEmpty())
        return dir;
    // bin/ of an installation is no place for a user's settings.
    return InstalledDataDir(exeDir).isEmpty() ? exeDir : UserConfigDir();
}

} // namespace AppPaths
