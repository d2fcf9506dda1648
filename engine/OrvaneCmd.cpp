#include "engine/OrvaneCmd.h"

#include "base/Log.h"
#include "dbus/BusNames.h"
#include "dbus/BusTree.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmdName.h"
#include "engine/OrvaneCmdObject.h"
#include "engine/OrvaneCmdTree.h"
#include "engine/Roads.h"
#include "orvanecmdadaptor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QMap>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <memory>
#include <utility>

namespace OrvaneCmd {
namespace {

// The bus road as the core knows it: the service while it runs. The service
// is no static object: a program that ends without StopService must not tear
// down bus objects after the bus connections are gone.
class Road : public Roads::Road {
public:
    Tree* service = nullptr;

    void Start(QString* why) override { StartService(why); }
    void SettingsReloaded() override
    {
        if (service)
            Name::Follow(Bus(), service->names);
    }
    void Stopping(int msecs) override
    {
        ReleaseName();
        FlushReplies(msecs);
    }
    bool Configured() const override { return service && service->names.held; }
    QString Status() const override
    {
        const QStringList names = ServiceNames();
        return names.isEmpty() ? QStringLiteral("no D-Bus") : QStringLiteral("D-Bus ") + names.join(QStringLiteral(", "));
    }
    bool NameHeldByOther() const override { return Name::HeldByOther(); }
};

Road& TheRoad()
{
    static Road road;
    return road;
}

} // namespace

// Called when a client gets its first object: from then on its leaving the bus
// destroys its objects.
void Tree::Watch(const QString& client)
{
    qCDebug(lcDbus).noquote() << "client" << client << "appears: it holds objects, its leaving frees them";
    watcher_->addWatchedService(client);
    // A client that left before the watch began is never reported leaving.
    // Asked without waiting: a bus that stops answering must not hold a call.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << client;
    auto* pending = new QDBusPendingCallWatcher(Bus().asyncCall(ask), watcher_);
    connect(pending, &QDBusPendingCallWatcher::finished, watcher_, [this, client](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<bool> owned = *w;
        if (!owned.isError() && !owned.value())
            DropClient(client);
    });
}

void Tree::EnsureImplicit(const QString& client)
{
    if (implicit_.contains(client))
        return;
    const bool watched = HasObjects(client);
    implicit_.insert(client);
    qCDebug(lcDbus).noquote() << "object made: the implicit object of" << client;
    LEDMain::AutomationObjectCreated();
    if (!watched)
        Watch(client);
}

void Tree::DropClient(const QString& client)
{
    qCDebug(lcDbus).noquote() << "client" << client << "vanished: its objects are freed";
    int dead = implicit_.remove(client) ? 1 : 0;
    if (created_.remove(client)) {
        for (auto it = instances_.begin(); it != instances_.end();) {
            if (it->owner == client) {
                if (it->object)
                    it->object->deleteLater();
                qCDebug(lcDbus).noquote() << "object freed:" << kRoot + QLatin1Char('/') + QString::number(it.key());
                it = instances_.erase(it);
                ++dead;
            } else {
                ++it;
            }
        }
    }
    watcher_->removeWatchedService(client);
    ReportDeaths(dead);
}

void Tree::DropAll()
{
    const int dead = int(implicit_.size() + instances_.size());
    qCDebug(lcDbus) << "all" << dead << "objects freed";
    implicit_.clear();
    for (const Instance& i : std::as_const(instances_))
        if (i.object)
            i.object->deleteLater();
    instances_.clear();
    created_.clear();
    watcher_->setWatchedServices({});
    ReportDeaths(dead);
}

// The object at a path under /OrvaneCmd and the client it belongs to (empty:
// anybody may use it). Nothing for a path that holds no live object.
Object* Tree::ObjectAt(const QString& path, QString* owner) const
{
    if (owner)
        owner->clear();
    if (path == kRoot)
        return app_;
    const auto it = instances_.constFind(InstanceNumber(path));
    if (it == instances_.constEnd() || !it->object)
        return nullptr;
    if (owner)
        *owner = it->owner;
    return it->object.data();
}

QString Tree::NewInstance(const QString& client, QString* why)
{
    const int own = created_.value(client);
    if (own >= Limits::kMaxObjectsPerClient) {
        *why = QStringLiteral("This client holds %1 objects, as many as one client may; release one first")
                   .arg(own);
        return QString();
    }
    if (instances_.size() >= maxObjects) {
        *why = QStringLiteral("%1 objects exist, as many as all clients together may hold")
                   .arg(instances_.size());
        return QString();
    }
    const uint n = ++lastInstance_;
    const QString path = kRoot + QLatin1Char('/') + QString::number(n);
    auto* object = new Object(path, this);
    new _OrvaneCmdAdaptor(object);
    new InstanceAdaptor(object);
    const bool watched = HasObjects(client);
    instances_.insert(n, {client, object});
    ++created_[client];
    qCDebug(lcDbus).noquote() << "object made:" << path << "for" << client;
    LEDMain::AutomationObjectCreated();
    if (!watched)
        Watch(client);
    return path;
}

void Tree::ReleaseInstance(const QDBusObjectPath& path)
{
    const auto it = instances_.find(InstanceNumber(path.path()));
    if (it == instances_.end() || !it->object || it->object->SelfPath() != path)
        return;
    const QString owner = it->owner;
    qCDebug(lcDbus).noquote() << "object freed:" << path.path() << "released by" << owner;
    it->object->deleteLater();
    instances_.erase(it);
    if (--created_[owner] <= 0)
        created_.remove(owner);
    Unwatch(owner);
    ReportDeaths(1);
}

// The service an object belongs to: its parent.
Tree* TreeOf(const QObject* object) { return qobject_cast<Tree*>(object->parent()); }

Name::Held* Name::Current() { return TheRoad().service ? &TheRoad().service->names : nullptr; }

Roads::Road& BusRoad() { return TheRoad(); }

Object::Object(const QString& path, QObject* parent) : QObject(parent), path_(path) {}

QString Object::Exec(const QString& cmd)
{
    LEDMain::ScriptFailure failure;
    const QString result = LEDMain::ExecScript(cmd, &failure);
    Tree* tree = TreeOf(this);
    if (failure.number != 0 && tree && tree->call)
        tree->call->failure = failure;
    return result;
}

QDBusObjectPath Object::CreateInstance()
{
    Tree* tree = TreeOf(this);
    Call* call = tree ? tree->call : nullptr;
    QString why;
    const QString path = tree ? tree->NewInstance(call ? call->caller : QString(), &why) : QString();
    if (path.isEmpty() && call)
        call->limit = why;
    return QDBusObjectPath(path.isEmpty() ? kRoot : path);
}

void Object::Release()
{
    if (Tree* tree = TreeOf(this))
        tree->ReleaseInstance(path_);
}

QList<int> Object::Levels() const
{
    const auto levels = LEDMain::ChannelLevels();
    return {levels[0], levels[1], levels[2], levels[3]};
}

void SetMaxObjects(int total)
{
    if (TheRoad().service)
        TheRoad().service->maxObjects = total > 0 ? std::min(total, Limits::kMaxObjects) : Limits::kMaxObjects;
}

bool StartService(QString* why)
{
    if (TheRoad().service)
        return true;
    auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    QDBusConnection bus = Bus();
    if (!bus.isConnected())
        return fail(QStringLiteral("no D-Bus session bus (%1)").arg(bus.lastError().message()));
    // A burst of calls must not leave the service deaf: calls wait here instead.
    BusTree::ReadWithoutLimit(bus);
    auto service = std::make_unique<Tree>(bus);
    // The objects are in place before the name is, so no call finds the name without them.
    if (!bus.registerVirtualObject(kRoot, service.get(), QDBusConnection::SubPath))
        return fail(QStringLiteral("%1 is already registered on this connection").arg(kRoot));
    if (!Name::Claim(bus, service->names, why)) {
        bus.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
        return false;
    }
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), service.get(),
                SLOT(BusGone()));
    TheRoad().service = service.release();
    qCDebug(lcDbus).noquote() << "serving" << kRoot << "as" << kService;
    return true;
}

void FlushReplies(int msecs)
{
    // Not running: the session bus is not touched, so a later start can still connect.
    if (!TheRoad().service)
        return;
    QDBusConnection bus = Bus();
    if (!bus.isConnected())
        return;
    // The bus answers a ping only after it has read what came before it.
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    bus.call(ping, QDBus::Block, std::max(msecs, 1));
}

void StopService()
{
    // Ends with this scope; from here on no service runs.
    const std::unique_ptr<Tree> service(std::exchange(TheRoad().service, nullptr));
    if (!service)
        return;
    // Without waiting for the bus: one that stops answering must not hold the way out.
    Name::Release(service->names);
    service->DropAll();
    QDBusConnection bus = Bus();
    bus.disconnect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                   QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), service.get(),
                   SLOT(BusGone()));
    bus.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
}

} // namespace OrvaneCmd

