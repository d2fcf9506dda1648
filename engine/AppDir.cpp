// LEDMain's application directory: where settings and port links live, and
// where the command reference is found.
#include "engine/LEDMain.h"

#include "base/AppPaths.h"
#include "comm/LEDCOMM.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace LEDMain {

QString ChooseAppDir(const QString& option, QString* why, const QString& exeDir)
{
    const QString executableDir =
        exeDir.isEmpty() && QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : exeDir;
    auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return QString();
    };
    const QString dir = option.isEmpty() ? AppPaths::DefaultAppDir(executableDir) : option;
    // An installed program's folder is made at its first start.
    if (option.isEmpty() && dir == AppPaths::UserConfigDir() && !QFileInfo(dir).isDir()) {
        if (!QDir().mkpath(dir))
            return fail(QStringLiteral("cannot create the application directory %1").arg(dir));
        // A first start gets port 1 and a 500 ms time-out; later ones find what the user made of it.
        QSaveFile settings(dir + QLatin1Char('/') + LEDCOMM::kSettingsFile);
        if (settings.open(QIODevice::WriteOnly))
            settings.write("\"PORT\",1\r\n\"TIMEOUT\",500\r\n");
        if (!settings.commit())
            return fail(QStringLiteral("cannot write %1: %2").arg(settings.fileName(), settings.errorString()));
    }
    if (dir == executableDir)
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
    for (const QString& dir : {AppPaths::InstalledDataDir(exeDir), exeDir}) {
        const QString shared = dir + QStringLiteral("/LED_COMMANDS.TXT");
        if (!dir.isEmpty() && QFileInfo::exists(shared))
            return shared;
    }
    // None there: the editor names the application directory's file as missing.
    return own;
}

} // namespace LEDMain
