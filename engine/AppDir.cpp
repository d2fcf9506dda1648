// LEDMain's application directory: where settings and port links live, and
// where the command reference is found.
#include "engine/LEDMain.h"

#include "comm/LEDCOMM.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace LEDMain {

QString InstalledDataDir(const QString& exeDir)
{
    const QString data = exeDir + QStringLiteral("/../share/orvane");
    if (!QFileInfo::exists(data + QStringLiteral("/LED_COMMANDS.TXT")))
        return {};
    return QFileInfo(data).canonicalFilePath();
}

QString ChooseAppDir(const QString& option, QString* why, const QString& exeDir)
{
    const QString executableDir =
        exeDir.isEmpty() && QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : exeDir;
    auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return QString();
    };
    QString dir = option;
    if (dir.isEmpty())
        dir = qEnvironmentVariable("ORVANE_APP_DIR");
    if (dir.isEmpty() && !InstalledDataDir(executableDir).isEmpty()) {
        // bin/ of an installation is no place for a user's settings.
        QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        // A relative XDG_CONFIG_HOME is invalid and ignored.
        if (config.isEmpty() || QDir::isRelativePath(config))
            config = QDir::homePath() + QStringLiteral("/.config");
        dir = config + QStringLiteral("/orvane");
        if (!QFileInfo(dir).isDir()) {
            if (!QDir().mkpath(dir))
                return fail(QStringLiteral("cannot create the application directory %1").arg(dir));
            // A first start gets port 1 and a 500 ms time-out; later ones find what the user made of it.
            QSaveFile settings(dir + QLatin1Char('/') + LEDCOMM::kSettingsFile);
            if (settings.open(QIODevice::WriteOnly))
                settings.write("\"PORT\",1\r\n\"TIMEOUT\",500\r\n");
            if (!settings.commit())
                return fail(QStringLiteral("cannot write %1: %2").arg(settings.fileName(), settings.errorString()));
        }
    }
    if (dir.isEmpty())
        return executableDir;
    const QFileInfo fi(dir);
    if (!fi.isDir())
        return fail(QStringLiteral("the application directory %1 does not exist").arg(dir));
    return fi.canonicalFilePath();
}

QString CommandsFile(const QString& executableDir)
{
    const QString own = AppDir() + QStringLiteral("LED_COMMANDS.TXT");
    if (QFileInfo::exists(own) || (executableDir.isEmpty() && !QCoreApplication::instance()))
        return own;
    const QString exeDir = executableDir.isEmpty() ? QCoreApplication::applicationDirPath() : executableDir;
    for (const QString& dir : {InstalledDataDir(exeDir), exeDir}) {
        const QString shared = dir + QStringLiteral("/LED_COMMANDS.TXT");
        if (!dir.isEmpty() && QFileInfo::exists(shared))
            return shared;
    }
    // None there: the editor names the application directory's file as missing.
    return own;
}

} // namespace LEDMain
