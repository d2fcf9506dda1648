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

bool Write(const QString& file, const QString& service, const QString& exec, QString* why,
           const QString& systemdUnit)
{
    const QString dir = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(dir)) {
        *why = QStringLiteral("cannot create ") + dir;
        return false;
    }
    QSaveFile f(file);
    if (f.open(QIODevice::WriteOnly)) {
        QString text = QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n").arg(service, exec);
        if (!systemdUnit.isEmpty())
            text += QStringLiteral("SystemdService=%1\n").arg(systemdUnit);
        f.write(text.toUtf8());
    }
    if (!f.commit()) {
        *why = QStringLiteral("cannot write %1: %2").arg(file, f.errorString());
        return false;
    }
    return true;
}

QString ExecProgram(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (!line.startsWith(QLatin1String("Exec=")))
            continue;
        // The first word as the bus splits it, like a shell: quotes and backslashes.
        QString word;
        QChar quote;
        for (qsizetype i = 5; i < line.size(); ++i) {
            const QChar c = line[i];
            if (!quote.isNull()) {
                if (c == quote)
                    quote = QChar();
                else if (c == QLatin1Char('\\') && quote == QLatin1Char('"') && i + 1 < line.size())
                    word += line[++i];
                else
                    word += c;
            } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
                quote = c;
            } else if (c == QLatin1Char('\\') && i + 1 < line.size()) {
                word += line[++i];
            } else if (c.isSpace()) {
                if (!word.isEmpty())
                    break;
            } else {
                word += c;
            }
        }
        return word;
    }
    return QString();
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
