// OrvaneCmd's bus names: the program's own name and the plain one, given up
// without waiting, and the activation file that lets the bus start the program.
#include "engine/OrvaneCmd.h"
#include "engine/OrvaneCmdName.h"

#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "comm/LEDCOMM.h"
#include "dbus/Activation.h"
#include "dbus/BusNames.h"
#include "params/TRAPAR.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace OrvaneCmd {
namespace {

using BusNames::kService;

// The name this program must own, and whether it also holds the plain one.
QString g_ownService = kService;
bool g_plainHeld = false;
// True from a successful claim until the names are given up or the bus is gone.
bool g_held = false;

// The application directory's settings file, for --regserver, which runs no start-up.
void LoadSettingsQuietly()
{
    TRAPAR::SetParDir(Platform::App().Path + QLatin1Char('/'));
    TRAPAR::SetParFile(LEDCOMM::kSettingsFile);
    if (QFileInfo::exists(TRAPAR::GetParPath()))
        TRAPAR::LoadPars();
}

} // namespace

namespace Name {

bool Claim(QDBusConnection bus, QString* why)
{
    const QString name = ControllerName();
    g_ownService = BusNames::ServiceFor(name);
    if (!bus.registerService(g_ownService)) {
        if (why)
            *why = QStringLiteral("the bus name %1 is taken by another program").arg(g_ownService);
        return false;
    }
    // A named program is also the one that plain clients reach, when none is yet.
    g_plainHeld = !name.isEmpty() && bus.registerService(kService);
    g_held = true;
    return true;
}

void Forget() { g_held = false; }

} // namespace Name

QString ControllerName()
{
    QString name;
    QVariant value;
    for (int16_t i = 0; TRAPAR::GetParByIndex(i, name, value) == 1; ++i) {
        if (name != QLatin1String("NAME"))
            continue;
        const QString text = TRAPAR::ValueToText(value).trimmed();
        if (text.isEmpty() || BusNames::IsControllerName(text))
            return text;
        Platform::MsgBox(QStringLiteral("Parameter NAME in %1 may hold letters, digits and underscores, not "
                                        "starting with a digit, at most %2 characters: \"%3\"; the program "
                                        "serves without a name of its own")
                             .arg(TRAPAR::GetParPath())
                             .arg(BusNames::kMaxNameLength)
                             .arg(text.left(40)),
                         Platform::vbExclamation);
        return QString();
    }
    return QString();
}

void ReleaseName()
{
    if (!g_held)
        return;
    g_held = false;
    QStringList names{g_ownService};
    if (g_plainHeld)
        names << kService;
    for (const QString& service : std::as_const(names)) {
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReleaseName"));
        m << service;
        QDBusConnection::sessionBus().asyncCall(m);
    }
}

int RegServer(bool install)
{
    if (Platform::App().Path.isEmpty())
        Platform::App().Path = QCoreApplication::applicationDirPath();
    LoadSettingsQuietly();
    const QString name = ControllerName();
    const QString service = BusNames::ServiceFor(name);
    const QString file = Activation::FilePath(service);
    QTextStream out(stdout);
    QString why;
    if (!install) {
        if (!QFile::exists(file)) {
            out << "orvane: nothing to remove, " << file << " does not exist" << Qt::endl;
            return 0;
        }
        if (!Activation::Remove(file, &why)) {
            Log::Say(why, &lcDbus);
            return 1;
        }
        out << "orvane: removed " << file << "; " << service << " no longer starts this program"
            << Qt::endl;
        return 0;
    }

    const QString program = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                         : Posix::ExecutablePath();
    QStringList args{QStringLiteral("--automation")};
    // A named controller is started with the settings that name it.
    if (!name.isEmpty())
        args << QStringLiteral("--app-dir") << Platform::App().Path;
    const QString exec = Activation::ExecLine(program, args);
    if (!Activation::Write(file, service, exec, &why)) {
        Log::Say(why, &lcDbus);
        return 1;
    }
    out << "orvane: wrote " << file << "; a client calling " << service << " now starts \"" << exec
        << "\"" << Qt::endl;
    return 0;
}

} // namespace OrvaneCmd
