// OrvaneCmd's bus names: the program's own name and the plain one, given up
// without waiting, and the activation file that lets the bus start the program.
#include "engine/OrvaneCmd.h"
#include "engine/OrvaneCmdName.h"

#include "base/AppPaths.h"
#include "base/Log.h"
#include "base/Platform.h"
#include "base/Posix.h"
#include "comm/LEDCOMM.h"
#include "dbus/Activation.h"
#include "base/ControllerName.h"
#include "dbus/BusNames.h"
#include "engine/Service.h"
#include "params/TRAPAR.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

namespace OrvaneCmd {
namespace {

using BusNames::kService;

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

bool Claim(QDBusConnection bus, Held& names, QString* why)
{
    const QString name = ControllerName();
    names.own = BusNames::ServiceFor(name);
    if (!bus.registerService(names.own)) {
        if (why)
            *why = QStringLiteral("the bus name %1 is taken by another program").arg(names.own);
        return false;
    }
    // A named program is also the one that plain clients reach, when none is yet.
    names.plain = !name.isEmpty() && bus.registerService(kService);
    names.held = true;
    return true;
}

void Release(Held& names)
{
    if (!names.held)
        return;
    names.held = false;
    QStringList services{names.own};
    if (names.plain)
        services << kService;
    for (const QString& service : std::as_const(services)) {
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReleaseName"));
        m << service;
        QDBusConnection::sessionBus().asyncCall(m);
    }
}

void Follow(QDBusConnection bus, Held& names)
{
    if (!names.held || BusNames::ServiceFor(TRAPAR::ConfiguredName()) == names.own)
        return;
    Release(names);
    QString why;
    if (!Claim(bus, names, &why))
        Log::Say(why + QStringLiteral("; no client on the bus reaches this program"), &lcDbus);
}

bool HeldByOther()
{
    // Asked of the bus, not of the last start: the roads may start in any order.
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface* i = bus.isConnected() ? bus.interface() : nullptr;
    if (!i)
        return false;
    const QString name = TRAPAR::ConfiguredName();
    const QString holder = i->serviceOwner(BusNames::ServiceFor(name)).value();
    if (holder.isEmpty() || holder == bus.baseService())
        return false;
    if (!name.isEmpty())
        return true;
    // The plain name held by a program that also holds a name of its own is a courtesy.
    const QStringList names = i->registeredServiceNames().value();
    for (const QString& n : names)
        if (n.startsWith(kService + QLatin1Char('.')) && i->serviceOwner(n).value() == holder)
            return false;
    return true;
}

} // namespace Name

QString ControllerName()
{
    QString refused;
    const QString name = TRAPAR::ConfiguredName(&refused);
    if (!refused.isEmpty())
        Platform::MsgBox(QStringLiteral("Parameter NAME in %1 may hold %2: \"%3\"; the program serves without a "
                                        "name of its own")
                             .arg(TRAPAR::GetParPath(), ControllerName::Rule(), refused.left(40)),
                         Platform::vbExclamation);
    return name;
}

QString ServiceName()
{
    const Name::Held* names = Name::Current();
    return names && names->held ? names->own : QString();
}

QStringList ServiceNames()
{
    const Name::Held* names = Name::Current();
    if (!names || !names->held)
        return {};
    return names->plain ? QStringList{names->own, kService} : QStringList{names->own};
}

void ReleaseName()
{
    if (Name::Held* names = Name::Current())
        Name::Release(*names);
}

namespace {

// orvane@<dir>.service for an application directory ~/.config/orvane/<dir>, when
// the units are installed beside this program; else empty (the bus runs Exec=).
QString InstanceUnit(const QString& program, const QString& appDir)
{
    const QFileInfo dir(appDir);
    const QString parent = QFileInfo(dir.absolutePath()).canonicalFilePath();
    if (parent.isEmpty() || parent != QFileInfo(AppPaths::UserConfigDir()).canonicalFilePath())
        return QString();
    // The unit finds the directory by its name as it stands, so only names it need not escape.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_.:]+$"));
    const QString name = dir.fileName();
    if (!plain.match(name).hasMatch())
        return QString();
    const QString units = QFileInfo(program).absolutePath() + QStringLiteral("/../share/systemd/user/");
    if (!QFileInfo::exists(units + QStringLiteral("orvane@.service")))
        return QString();
    return QStringLiteral("orvane@%1.service").arg(name);
}

bool SameProgram(const QString& a, const QString& b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    const QString cb = QFileInfo(b).canonicalFilePath();
    return !ca.isEmpty() ? ca == cb : QFileInfo(a).absoluteFilePath() == QFileInfo(b).absoluteFilePath();
}

} // namespace

int RegServer(bool install, bool keepAppDir)
{
    if (Platform::App().Path.isEmpty())
        Platform::App().Path = QCoreApplication::applicationDirPath();
    LoadSettingsQuietly();
    const QString name = ControllerName();
    const QString service = BusNames::ServiceFor(name);
    const QString file = Activation::FilePath(service);
    QTextStream out(stdout);
    QString why;
    const QString program = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                         : Posix::ExecutablePath();
    if (!install) {
        if (!QFile::exists(file)) {
            out << "orvane: nothing to remove, " << file << " does not exist" << Qt::endl;
            return Service::kEnded;
        }
        // Another copy's file (an installed program's, a build tree's) is that copy's to remove.
        if (const QString starts = Activation::ExecProgram(file); !SameProgram(starts, program)) {
            Log::Say(QStringLiteral("%1 starts %2, not this program; it is left in place")
                         .arg(file, starts.isEmpty() ? QStringLiteral("no program") : starts),
                     &lcDbus);
            return Service::kFailed;
        }
        if (!Activation::Remove(file, &why)) {
            Log::Say(why, &lcDbus);
            return Service::kFailed;
        }
        out << "orvane: removed " << file << "; " << service << " no longer starts this program"
            << Qt::endl;
        return Service::kEnded;
    }

    QStringList args{QStringLiteral("--automation")};
    // A named controller is started with the settings that name it, a chosen directory with its own.
    if (!name.isEmpty() || keepAppDir)
        args << QStringLiteral("--app-dir") << Platform::App().Path;
    const QString exec = Activation::ExecLine(program, args);
    const QString unit = InstanceUnit(program, Platform::App().Path);
    if (!Activation::Write(file, service, exec, &why, unit)) {
        Log::Say(why, &lcDbus);
        return Service::kFailed;
    }
    out << "orvane: wrote " << file << "; a client calling " << service << " now starts \""
        << exec << "\"";
    if (!unit.isEmpty())
        out << " (" << unit << " where systemd runs the bus)";
    out << Qt::endl;
    return Service::kEnded;
}

} // namespace OrvaneCmd
