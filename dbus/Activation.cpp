#include "dbus/Activation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace Activation {
namespace {

QString ShellQuoted(const QString& s)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+,:@%=-]+$"));
    if (plain.match(s).hasMatch())
        return s;
    QString q = s;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

} // namespace

QString FilePath(const QString& service)
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    // A relative XDG_DATA_HOME is invalid and ignored.
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    return dataHome + QStringLiteral("/dbus-1/services/") + service + QStringLiteral(".service");
}

QString ExecLine(const QString& program, const QStringList& args)
{
    QStringList words{ShellQuoted(program)};
    for (const QString& a : args)
        words << ShellQuoted(a);
    return words.join(QLatin1Char(' '));
}

bool Write(const QString& file, const QString& service, const QString& exec, QString* why)
{
    const QString dir = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(dir)) {
        *why = QStringLiteral("cannot create ") + dir;
        return false;
    }
    QSaveFile f(file);
    if (f.open(QIODevice::WriteOnly)) {
        const QString text = QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n").arg(service, exec);
        f.write(text.toUtf8());
    }
    if (!f.commit()) {
        *why = QStringLiteral("cannot write %1: %2").arg(file, f.errorString());
        return false;
    }
    return true;
}

bool Remove(const QString& file, QString* why)
{
    QFile f(file);
    if (!f.remove()) {
        *why = QStringLiteral("cannot remove %1: %2").arg(file, f.errorString());
        return false;
    }
    return true;
}

} // namespace Activation
