#include "engine/OrvaneCmd.h"

#include "base/Log.h"
#include "dbus/BusNames.h"
#include "dbus/BusTree.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmdName.h"
#include "engine/OrvaneCmdObject.h"
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
Call* g_call = nullptr;

struct Instance {
    QString owner;  // unique bus name of the client that created it
    QPointer<Object> object;
};

class Tree;

bool g_running = false;
bool g_busGone = false;
Tree* g_tree = nullptr;
Object* g_app = nullptr;
QDBusServiceWatcher* g_watcher = nullptr;
QMap<uint, Instance> g_instances;
// Created objects by owner, so that a cap and a lookup need not scan them all.
QHash<QString, int> g_created;
int g_maxObjects = Limits::kMaxObjects;
// Clients whose own object sits behind the application object.
QSet<QString> g_implicit;
uint g_lastInstance = 0;

QDBusConnection Bus() { return QDBusConnection::sessionBus(); }

bool HasObjects(const QString& client)
{
    return g_implicit.contains(client) || g_created.value(client) > 0;
}

void DropClient(const QString& client);

// Called when a client gets its first object: from then on its leaving the bus
// destroys its objects.
void Watch(const QString& client)
{
    if (!g_watcher)
        return;
    qCDebug(lcDbus).noquote() << "client" << client << "appears: it holds objects, its leaving frees them";
    g_watcher->addWatchedService(client);
    // A client that left before the watch began is never reported leaving.
    // Asked without waiting: a bus that stops answering must not hold a call.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << client;
    auto* pending = new QDBusPendingCallWatcher(Bus().asyncCall(ask), g_watcher);
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, g_watcher,
                     [client](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         const QDBusPendingReply<bool> owned = *w;
                         if (!owned.isError() && !owned.value())
                             DropClient(client);
                     });
}

void Unwatch(const QString& client)
{
    if (g_watcher && !HasObjects(client))
        g_watcher->removeWatchedService(client);
}

void EnsureImplicit(const QString& client)
{
    if (g_implicit.contains(client))
        return;
    const bool watched = HasObjects(client);
    g_implicit.insert(client);
    qCDebug(lcDbus).noquote() << "object made: the implicit object of" << client;
    LEDMain::AutomationObjectCreated();
    if (!watched)
        Watch(client);
}

QString NewInstance(const QString& client, QString* why);
void ReleaseInstance(const QDBusObjectPath& path);

// Forgets the objects first, then lets the shut-down rule see each death: the
// rule may end the process, and by then no record of a dead object is left.
void ReportDeaths(int count)
{
    for (int i = 0; i < count; ++i)
        LEDMain::AutomationObjectDestroyed();
}

void DropClient(const QString& client)
{
    qCDebug(lcDbus).noquote() << "client" << client << "vanished: its objects are freed";
    int dead = g_implicit.remove(client) ? 1 : 0;
    if (!g_created.remove(client)) {
        if (g_watcher)
            g_watcher->removeWatchedService(client);
        ReportDeaths(dead);
        return;
    }
    for (auto it = g_instances.begin(); it != g_instances.end();) {
        if (it->owner == client) {
            if (it->object)
                it->object->deleteLater();
            qCDebug(lcDbus).noquote() << "object freed:" << kRoot + QLatin1Char('/') + QString::number(it.key());
            it = g_instances.erase(it);
            ++dead;
        } else {
            ++it;
        }
    }
    if (g_watcher)
        g_watcher->removeWatchedService(client);
    ReportDeaths(dead);
}

void DropAll()
{
    const int dead = int(g_implicit.size() + g_instances.size());
    qCDebug(lcDbus) << "all" << dead << "objects freed";
    g_implicit.clear();
    for (const Instance& i : std::as_const(g_instances))
        if (i.object)
            i.object->deleteLater();
    g_instances.clear();
    g_created.clear();
    if (g_watcher)
        g_watcher->setWatchedServices({});
    ReportDeaths(dead);
}

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

// The object at a path under /OrvaneCmd and the client it belongs to (empty:
// anybody may use it). Nothing for a path that holds no live object.
Object* ObjectAt(const QString& path, QString* owner)
{
    if (owner)
        owner->clear();
    if (path == kRoot)
        return g_app;
    const auto it = g_instances.constFind(InstanceNumber(path));
    if (it == g_instances.constEnd() || !it->object)
        return nullptr;
    if (owner)
        *owner = it->owner;
    return it->object.data();
}


bool IsCmdInterface(const QObject* adaptor) { return BusTree::InterfaceOf(adaptor) == kCmdInterface; }

// The objects under /OrvaneCmd with the class's rules: who owns each, which
// read or call gives a client its implicit object, the limits of a call, and
// a stop signal that ends the program between calls.
class Tree : public BusTree {
    Q_OBJECT
public:
    using BusTree::BusTree;

public slots:
    void ClientLeft(const QString& client) { DropClient(client); }

    void BusGone()
    {
        if (g_busGone)
            return;
        g_busGone = true;
        Name::Forget();
        qCDebug(lcDbus) << "the session bus is gone";
        DropAll();
        LEDMain::AutomationGone();
    }

protected:
    QObject* Resolve(const QString& path, QString* owner) const override { return ObjectAt(path, owner); }

    QStringList ChildNodes(const QString& path, const QString& caller) const override
    {
        QStringList nodes;
        if (path == kRoot && g_created.value(caller) > 0)
            for (auto it = g_instances.constBegin(); it != g_instances.constEnd(); ++it)
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
        // Levels alone is read by clients that only look (orvane-exec --list).
        const bool levelsOnly = msg.member() == QLatin1String("Get")
                                && msg.arguments().value(1).toString() == QLatin1String("Levels");
        if (&target == g_app && IsCmdInterface(&adaptor) && !levelsOnly)
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
        if (&target == g_app && IsCmdInterface(&adaptor))
            EnsureImplicit(msg.service());
        return QDBusMessage();
    }

    QDBusMessage Run(const QDBusMessage& msg, const std::function<bool()>& invoke, const QVariant& result) override
    {
        Call call{msg.service(), {}, {}};
        Call* outer = std::exchange(g_call, &call);
        const bool invoked = invoke();
        g_call = outer;

        if (!invoked)
            return NotCalled(msg);
        if (!call.limit.isEmpty())
            return msg.createErrorReply(QDBusError::LimitsExceeded, call.limit);
        if (call.failure.number != 0)
            return msg.createErrorReply(
                kFailed, QStringLiteral("%1: %2").arg(call.failure.number).arg(call.failure.description));
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
};

// Empty when a cap refuses the object; why then says so.
QString NewInstance(const QString& client, QString* why)
{
    const int own = g_created.value(client);
    if (own >= Limits::kMaxObjectsPerClient) {
        *why = QStringLiteral("This client holds %1 objects, as many as one client may; release one first")
                   .arg(own);
        return QString();
    }
    if (g_instances.size() >= g_maxObjects) {
        *why = QStringLiteral("%1 objects exist, as many as all clients together may hold")
                   .arg(g_instances.size());
        return QString();
    }
    const uint n = ++g_lastInstance;
    const QString path = kRoot + QLatin1Char('/') + QString::number(n);
    auto* object = new Object(path, g_tree);
    new _OrvaneCmdAdaptor(object);
    new InstanceAdaptor(object);
    const bool watched = HasObjects(client);
    g_instances.insert(n, {client, object});
    ++g_created[client];
    qCDebug(lcDbus).noquote() << "object made:" << path << "for" << client;
    LEDMain::AutomationObjectCreated();
    if (!watched)
        Watch(client);
    return path;
}

void ReleaseInstance(const QDBusObjectPath& path)
{
    const auto it = g_instances.find(InstanceNumber(path.path()));
    if (it == g_instances.end() || !it->object || it->object->SelfPath() != path)
        return;
    const QString owner = it->owner;
    qCDebug(lcDbus).noquote() << "object freed:" << path.path() << "released by" << owner;
    it->object->deleteLater();
    g_instances.erase(it);
    if (--g_created[owner] <= 0)
        g_created.remove(owner);
    Unwatch(owner);
    ReportDeaths(1);
}

} // namespace

Object::Object(const QString& path, QObject* parent) : QObject(parent), path_(path) {}

QString Object::Exec(const QString& cmd)
{
    LEDMain::ScriptFailure failure;
    const QString result = LEDMain::ExecScript(cmd, &failure);
    if (failure.number != 0 && g_call)
        g_call->failure = failure;
    return result;
}

QDBusObjectPath Object::CreateInstance()
{
    QString why;
    const QString path = NewInstance(g_call ? g_call->caller : QString(), &why);
    if (path.isEmpty() && g_call)
        g_call->limit = why;
    return QDBusObjectPath(path.isEmpty() ? kRoot : path);
}

void Object::Release() { ReleaseInstance(path_); }

QList<int> Object::Levels() const
{
    const auto levels = LEDMain::ChannelLevels();
    return {levels[0], levels[1], levels[2], levels[3]};
}

void SetMaxObjects(int total)
{
    g_maxObjects = total > 0 ? std::min(total, Limits::kMaxObjects) : Limits::kMaxObjects;
}

bool StartService(QString* why)
{
    if (g_running)
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
    g_tree = new Tree;
    g_app = new Object(kRoot, g_tree);
    new _OrvaneCmdAdaptor(g_app);
    new ClassFactoryAdaptor(g_app);
    // The objects are in place before the name is, so no call finds the name without them.
    if (!bus.registerVirtualObject(kRoot, g_tree, QDBusConnection::SubPath)) {
        delete std::exchange(g_tree, nullptr);
        g_app = nullptr;
        return fail(QStringLiteral("%1 is already registered on this connection").arg(kRoot));
    }
    if (!Name::Claim(bus, why)) {
        bus.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
        delete std::exchange(g_tree, nullptr);
        g_app = nullptr;
        return false;
    }
    g_watcher = new QDBusServiceWatcher(QString(), bus, QDBusServiceWatcher::WatchForUnregistration, g_tree);
    QObject::connect(g_watcher, &QDBusServiceWatcher::serviceUnregistered, g_tree, &Tree::ClientLeft);
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), g_tree,
                SLOT(BusGone()));
    g_busGone = false;
    g_running = true;
    qCDebug(lcDbus).noquote() << "serving" << kRoot << "as" << kService;
    return true;
}

void FlushReplies(int msecs)
{
    // Not running: the session bus is not touched, so a later start can still connect.
    if (!g_running)
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
    if (!g_running)
        return;
    // Without waiting for the bus: one that stops answering must not hold the way out.
    ReleaseName();
    g_running = false;
    DropAll();
    QDBusConnection bus = Bus();
    bus.disconnect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                   QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), g_tree,
                   SLOT(BusGone()));
    bus.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
    g_watcher = nullptr;
    g_app = nullptr;
    delete std::exchange(g_tree, nullptr);
}

} // namespace OrvaneCmd

#include "OrvaneCmd.moc"
