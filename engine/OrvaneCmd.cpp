#include "engine/OrvaneCmd.h"

#include "base/Log.h"
#include "dbus/BusNames.h"
#include "dbus/BusTree.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmdName.h"
#include "engine/OrvaneCmdObject.h"
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

using BusNames::kCmdInterface;
using BusNames::kFailed;
using BusNames::kRoot;
using BusNames::kService;

// The call being served. Calls nest only when a script lets pending events run,
// so the innermost one is on top.
struct Call {
    QString caller;
    LEDMain::ScriptFailure failure;
    QString limit;  // why the call was refused: LimitsExceeded
};

struct Instance {
    QString owner;  // unique bus name of the client that created it
    QPointer<Object> object;
};

QDBusConnection Bus() { return QDBusConnection::sessionBus(); }

// The number of a created object's path; 0 (never used) for any other path.
uint InstanceNumber(const QString& path)
{
    if (!path.startsWith(kRoot + QLatin1Char('/')))
        return 0;
    const QString rest = path.mid(kRoot.size() + 1);
    bool ok = false;
    const uint n = rest.toUInt(&ok);
    return ok && rest == QString::number(n) ? n : 0;
}

// Forgets the objects first, then lets the shut-down rule see each death: the
// rule may end the process, and by then no record of a dead object is left.
void ReportDeaths(int count)
{
    for (int i = 0; i < count; ++i)
        LEDMain::AutomationObjectDestroyed();
}

bool IsCmdInterface(const QObject* adaptor) { return BusTree::InterfaceOf(adaptor) == kCmdInterface; }

// One run of the service, from StartService to StopService: the objects under
// /OrvaneCmd with the class's rules (who owns each, which read or call gives a
// client its implicit object, the limits of a call, a stop signal that ends the
// program between calls), the watch on their clients and the bus names held.
// It is the parent of every object it serves, so they end with it.
class Tree : public BusTree {
    Q_OBJECT
public:
    explicit Tree(const QDBusConnection& bus)
        : watcher_(new QDBusServiceWatcher(QString(), bus, QDBusServiceWatcher::WatchForUnregistration, this))
    {
        new _OrvaneCmdAdaptor(app_);
        new ClassFactoryAdaptor(app_);
        connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &Tree::ClientLeft);
    }

    Name::Held names;
    int maxObjects = Limits::kMaxObjects;
    Call* call = nullptr;

    // Empty when a cap refuses the object; why then says so.
    QString NewInstance(const QString& client, QString* why);
    void ReleaseInstance(const QDBusObjectPath& path);
    void DropAll();

public slots:
    void ClientLeft(const QString& client) { DropClient(client); }

    void BusGone()
    {
        if (busGone_)
            return;
        busGone_ = true;
        names.held = false;  // the bus took them with it: nothing is left to give up
        qCDebug(lcDbus) << "the session bus is gone";
        DropAll();
        LEDMain::AutomationGone();
    }

protected:
    QObject* Resolve(const QString& path, QString* owner) const override { return ObjectAt(path, owner); }

    QStringList ChildNodes(const QString& path, const QString& caller) const override
    {
        QStringList nodes;
        if (path == kRoot && created_.value(caller) > 0)
            for (auto it = instances_.constBegin(); it != instances_.constEnd(); ++it)
                if (it->owner == caller)
                    nodes << QString::number(it.key());
        return nodes;
    }

    // A call queued behind a stop signal is not served: the program leaves the
    // bus. One that came during the call ends the program once its reply is out.
    void CallArriving() override { LEDMain::EndIfStopped(); }
    void ReplySent() override { LEDMain::EndIfStopped(); }

    void PropertyRead(const QDBusMessage& msg, QObject& target, const QDBusAbstractAdaptor& adaptor) override
    {
        // Only a read of OrvaneCmd alone asks for the object. Levels is read by
        // clients that only look (orvane-exec --list), GetAll by generic bus browsers.
        const bool askedForObject = msg.member() == QLatin1String("Get")
                                    && msg.arguments().value(1).toString() == QLatin1String("OrvaneCmd");
        if (&target == app_ && IsCmdInterface(&adaptor) && askedForObject)
            EnsureImplicit(msg.service());
    }

    QDBusMessage Admit(const QDBusMessage& msg, QObject& target, const QDBusAbstractAdaptor& adaptor,
                       const QList<QVariant>& args) override
    {
        // A script over the limit is refused before it runs or gives the caller an object.
        if (IsCmdInterface(&adaptor) && msg.member() == QLatin1String("Exec")) {
            const int64_t bytes = Limits::Utf8Length(args.at(0).toString());
            if (bytes > Limits::kMaxScriptBytes)
                return msg.createErrorReply(QDBusError::LimitsExceeded,
                                            QStringLiteral("The script is %1 bytes long; at most %2 are accepted")
                                                .arg(bytes)
                                                .arg(Limits::Bytes(Limits::kMaxScriptBytes)));
        }
        if (&target == app_ && IsCmdInterface(&adaptor))
            EnsureImplicit(msg.service());
        return QDBusMessage();
    }

    QDBusMessage Run(const QDBusMessage& msg, const std::function<bool()>& invoke, const QVariant& result) override
    {
        Call current{msg.service(), {}, {}};
        Call* outer = std::exchange(call, &current);
        const bool invoked = invoke();
        call = outer;

        if (!invoked)
            return NotCalled(msg);
        if (!current.limit.isEmpty())
            return msg.createErrorReply(QDBusError::LimitsExceeded, current.limit);
        if (current.failure.number != 0)
            return msg.createErrorReply(
                kFailed, QStringLiteral("%1: %2").arg(current.failure.number).arg(current.failure.description));
        // The bus would drop this connection, every client's objects with it, for a
        // message over its own limit; a reply over ours is never sent.
        if (result.metaType().id() == QMetaType::QString) {
            const int64_t bytes = Limits::Utf8Length(*static_cast<const QString*>(result.constData()));
            if (bytes > Limits::kMaxReplyBytes)
                return msg.createErrorReply(
                    QDBusError::LimitsExceeded,
                    QStringLiteral("The script ran, but its responses are %1 bytes long; at most %2 are sent back")
                        .arg(bytes)
                        .arg(Limits::Bytes(Limits::kMaxReplyBytes)));
        }
        return ReplyWith(msg, result);
    }

private:
    bool HasObjects(const QString& client) const
    {
        return implicit_.contains(client) || created_.value(client) > 0;
    }

    void Watch(const QString& client);
    void Unwatch(const QString& client)
    {
        if (!HasObjects(client))
            watcher_->removeWatchedService(client);
    }
    void EnsureImplicit(const QString& client);
    void DropClient(const QString& client);
    Object* ObjectAt(const QString& path, QString* owner) const;

    Object* app_ = new Object(kRoot, this);
    QDBusServiceWatcher* watcher_;
    QMap<uint, Instance> instances_;
    // Created objects by owner, so that a cap and a lookup need not scan them all.
    QHash<QString, int> created_;
    // Clients whose own object sits behind the application object.
    QSet<QString> implicit_;
    uint lastInstance_ = 0;
    bool busGone_ = false;
};

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

} // namespace

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

#include "OrvaneCmd.moc"
