#include "engine/OrvaneCmd.h"

#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmdObject.h"
#include "dbus/BusNames.h"
#include "base/Platform.h"
#include "params/TRAPAR.h"
#include "orvanecmdadaptor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QMetaMethod>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>
#include <climits>
#include <dbus/dbus.h>
#include <utility>

namespace OrvaneCmd {
namespace {

using BusNames::kCmdInterface;
using BusNames::kFailed;
using BusNames::kRoot;
using BusNames::kService;
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kPeer = QStringLiteral("org.freedesktop.DBus.Peer");

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
// The name this program must own, and whether it also holds the plain one.
QString g_ownService = kService;
bool g_plainHeld = false;
bool g_busGone = false;
bool g_nameReleased = false;
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

// A size in bytes with its binary unit, as a limit is named to the caller.
QString Bytes(int64_t n) { return QStringLiteral("%1 (%2 MiB)").arg(n).arg(n >> 20); }

void DropClient(const QString& client);

// Called when a client gets its first object: from then on its leaving the bus
// destroys its objects.
void Watch(const QString& client)
{
    if (!g_watcher)
        return;
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
Object* Resolve(const QString& path, QString* owner)
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

const char* InterfaceOf(const QObject* adaptor)
{
    const QMetaObject* mo = adaptor->metaObject();
    const int i = mo->indexOfClassInfo("D-Bus Interface");
    return i < 0 ? "" : mo->classInfo(i).value();
}

QList<QDBusAbstractAdaptor*> AdaptorsOf(const Object& object)
{
    return object.findChildren<QDBusAbstractAdaptor*>(QString(), Qt::FindDirectChildrenOnly);
}

QDBusAbstractAdaptor* AdaptorFor(const Object& object, const QString& interface)
{
    for (QDBusAbstractAdaptor* a : AdaptorsOf(object))
        if (interface == QLatin1String(InterfaceOf(a)))
            return a;
    return nullptr;
}

bool IsCmdInterface(const QObject* adaptor)
{
    return kCmdInterface == QLatin1String(InterfaceOf(adaptor));
}

QDBusMessage UnknownInterface(const QDBusMessage& msg, const QString& interface)
{
    return msg.createErrorReply(QDBusError::UnknownInterface,
                                QStringLiteral("%1 has no interface %2").arg(msg.path(), interface));
}

// org.freedesktop.DBus.Properties, answered from the adaptors' properties.
QDBusMessage Properties(const QDBusMessage& msg, const Object& target)
{
    const QString member = msg.member();
    const QString signature = msg.signature();
    const QString expected = member == QLatin1String("Get") ? QStringLiteral("ss")
        : member == QLatin1String("GetAll")                 ? QStringLiteral("s")
        : member == QLatin1String("Set")                    ? QStringLiteral("ssv")
                                                            : QString();
    if (expected.isEmpty())
        return msg.createErrorReply(QDBusError::UnknownMethod,
                                    QStringLiteral("No method %1 in %2").arg(member, kProperties));
    // A known method with the wrong arguments is the caller's mistake, not a missing method.
    if (signature != expected)
        return msg.createErrorReply(QDBusError::InvalidArgs,
                                    QStringLiteral("%1 takes (%2), not (%3)").arg(member, expected, signature));
    const bool getAll = member == QLatin1String("GetAll");
    const bool set = member == QLatin1String("Set");

    const QList<QVariant> args = msg.arguments();
    const QString interface = args.at(0).toString();
    // An empty interface name means the one that has properties.
    const QDBusAbstractAdaptor* adaptor =
        AdaptorFor(target, interface.isEmpty() ? kCmdInterface : interface);
    if (!adaptor)
        return UnknownInterface(msg, interface);
    const bool reads = !set && IsCmdInterface(adaptor);
    const QMetaObject* mo = adaptor->metaObject();
    const int first = QDBusAbstractAdaptor::staticMetaObject.propertyCount();

    if (getAll) {
        if (reads && &target == g_app)
            EnsureImplicit(msg.service());
        QVariantMap all;
        for (int i = first; i < mo->propertyCount(); ++i)
            all.insert(QString::fromLatin1(mo->property(i).name()), mo->property(i).read(adaptor));
        return msg.createReply(QVariant::fromValue(all));
    }

    const QString name = args.at(1).toString();
    const int index = mo->indexOfProperty(name.toUtf8().constData());
    if (index < first)
        return msg.createErrorReply(QDBusError::UnknownProperty,
                                    QStringLiteral("No property %1 in %2").arg(name, QLatin1String(InterfaceOf(adaptor))));
    const QMetaProperty property = mo->property(index);
    if (set)
        return msg.createErrorReply(QDBusError::PropertyReadOnly,
                                    QStringLiteral("Property %1 is read-only").arg(name));
    if (reads && &target == g_app)
        EnsureImplicit(msg.service());
    return msg.createReply(QVariant::fromValue(QDBusVariant(property.read(adaptor))));
}

// A method of the type library, called through the adaptor that carries it.
QDBusMessage Invoke(const QDBusMessage& msg, Object& target)
{
    const QString interface = msg.interface();
    const QByteArray member = msg.member().toUtf8();
    QDBusAbstractAdaptor* adaptor = nullptr;
    QMetaMethod method;
    bool interfaceFound = false;
    for (QDBusAbstractAdaptor* a : AdaptorsOf(target)) {
        if (!interface.isEmpty() && interface != QLatin1String(InterfaceOf(a)))
            continue;
        interfaceFound = true;
        const QMetaObject* mo = a->metaObject();
        for (int i = QDBusAbstractAdaptor::staticMetaObject.methodCount(); i < mo->methodCount(); ++i) {
            const QMetaMethod m = mo->method(i);
            if (m.methodType() == QMetaMethod::Slot && m.access() == QMetaMethod::Public && m.name() == member) {
                adaptor = a;
                method = m;
                break;
            }
        }
        if (adaptor)
            break;
    }
    if (!interfaceFound)
        return UnknownInterface(msg, interface);
    if (!adaptor)
        return msg.createErrorReply(QDBusError::UnknownMethod,
                                    QStringLiteral("No method %1 at %2").arg(msg.member(), msg.path()));

    QByteArray expected;
    for (int i = 0; i < method.parameterCount(); ++i)
        expected += QDBusMetaType::typeToSignature(method.parameterMetaType(i));
    const QList<QVariant> args = msg.arguments();
    // The type library's methods take at most one argument.
    if (msg.signature().toLatin1() != expected || args.size() > 1)
        return msg.createErrorReply(QDBusError::InvalidArgs,
                                    QStringLiteral("%1 takes (%2), not (%3)")
                                        .arg(msg.member(), QString::fromLatin1(expected), msg.signature()));

    // A script over the limit is refused before it runs or gives the caller an object.
    if (IsCmdInterface(adaptor) && member == "Exec") {
        const int64_t bytes = Limits::Utf8Length(args.at(0).toString());
        if (bytes > Limits::kMaxScriptBytes)
            return msg.createErrorReply(QDBusError::LimitsExceeded,
                                        QStringLiteral("The script is %1 bytes long; at most %2 are accepted")
                                            .arg(bytes)
                                            .arg(Bytes(Limits::kMaxScriptBytes)));
    }

    if (&target == g_app && IsCmdInterface(adaptor))
        EnsureImplicit(msg.service());

    QVariant result;
    if (method.returnMetaType().id() != QMetaType::Void)
        result = QVariant(method.returnMetaType());
    QGenericReturnArgument ret = result.isValid()
        ? QGenericReturnArgument(method.typeName(), result.data())
        : QGenericReturnArgument();
    const QByteArray argType = args.isEmpty() ? QByteArray() : method.parameterTypeName(0);

    Call call{msg.service(), {}, {}};
    Call* outer = std::exchange(g_call, &call);
    const bool invoked = args.isEmpty()
        ? method.invoke(adaptor, Qt::DirectConnection, ret)
        : method.invoke(adaptor, Qt::DirectConnection, ret,
                        QGenericArgument(argType.constData(), args.at(0).constData()));
    g_call = outer;

    if (!invoked)
        return msg.createErrorReply(QDBusError::InternalError,
                                    QStringLiteral("%1 could not be called").arg(msg.member()));
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
                    .arg(Bytes(Limits::kMaxReplyBytes)));
    }
    return result.isValid() ? msg.createReply(result) : msg.createReply();
}

// Serves the whole tree under /OrvaneCmd: every call needs its caller's name
// (for the client's own object and for access), which QtDBus hands to
// adaptors for method calls but not for property reads.
class Tree : public QDBusVirtualObject {
    Q_OBJECT
public:
    // The interfaces of the object at path; its child nodes differ by caller,
    // so handleMessage answers Introspect itself.
    QString introspect(const QString& path) const override
    {
        const Object* target = Resolve(path, nullptr);
        if (!target)
            return QString();
        QString xml;
        for (const QDBusAbstractAdaptor* a : AdaptorsOf(*target)) {
            const QMetaObject* mo = a->metaObject();
            xml += QString::fromUtf8(mo->classInfo(mo->indexOfClassInfo("D-Bus Introspection")).value());
        }
        return xml;
    }

    // The whole document for one caller: only its own objects are named, so
    // that it neither learns of other clients' nor grows with them.
    QString IntrospectFor(const QString& path, const QString& caller) const
    {
        QString xml = QStringLiteral(
            "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
            "<node>\n");
        xml += introspect(path);
        xml += QStringLiteral(
            "  <interface name=\"org.freedesktop.DBus.Properties\">\n"
            "    <method name=\"Get\">\n"
            "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
            "      <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
            "      <arg name=\"value\" type=\"v\" direction=\"out\"/>\n"
            "    </method>\n"
            "    <method name=\"Set\">\n"
            "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
            "      <arg name=\"property_name\" type=\"s\" direction=\"in\"/>\n"
            "      <arg name=\"value\" type=\"v\" direction=\"in\"/>\n"
            "    </method>\n"
            "    <method name=\"GetAll\">\n"
            "      <arg name=\"interface_name\" type=\"s\" direction=\"in\"/>\n"
            "      <arg name=\"values\" type=\"a{sv}\" direction=\"out\"/>\n"
            "    </method>\n"
            "  </interface>\n"
            "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
            "    <method name=\"Introspect\">\n"
            "      <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
            "    </method>\n"
            "  </interface>\n"
            "  <interface name=\"org.freedesktop.DBus.Peer\">\n"
            "    <method name=\"Ping\"/>\n"
            "    <method name=\"GetMachineId\">\n"
            "      <arg name=\"machine_uuid\" type=\"s\" direction=\"out\"/>\n"
            "    </method>\n"
            "  </interface>\n");
        if (path == kRoot && g_created.value(caller) > 0)
            for (auto it = g_instances.constBegin(); it != g_instances.constEnd(); ++it)
                if (it->owner == caller)
                    xml += QStringLiteral("  <node name=\"%1\"/>\n").arg(it.key());
        xml += QStringLiteral("</node>\n");
        return xml;
    }

    bool handleMessage(const QDBusMessage& msg, const QDBusConnection& connection) override
    {
        if (msg.type() != QDBusMessage::MethodCallMessage)
            return false;
        // A call queued behind a stop signal is not served: the program leaves the bus.
        LEDMain::EndIfStopped();
        const QString interface = msg.interface();
        if (interface == kPeer)
            return false;
        QString owner;
        Object* target = Resolve(msg.path(), &owner);
        if (!target) {
            connection.send(msg.createErrorReply(QDBusError::UnknownObject,
                                                 QStringLiteral("No object at %1").arg(msg.path())));
            return true;
        }
        if (!owner.isEmpty() && owner != msg.service()) {
            connection.send(msg.createErrorReply(
                QDBusError::AccessDenied, QStringLiteral("%1 belongs to another client").arg(msg.path())));
            return true;
        }
        if ((interface.isEmpty() || interface == kIntrospectable) && msg.member() == QLatin1String("Introspect")) {
            connection.send(msg.signature().isEmpty()
                                ? msg.createReply(IntrospectFor(msg.path(), msg.service()))
                                : msg.createErrorReply(QDBusError::InvalidArgs,
                                                       QStringLiteral("Introspect takes (), not (%1)")
                                                           .arg(msg.signature())));
            return true;
        }
        // The type library has no member of these names, so a call without an
        // interface name that uses one means the properties.
        const bool properties = interface == kProperties
            || (interface.isEmpty()
                && (msg.member() == QLatin1String("Get") || msg.member() == QLatin1String("GetAll")
                    || msg.member() == QLatin1String("Set")));
        const QDBusMessage reply = properties ? Properties(msg, *target) : Invoke(msg, *target);
        connection.send(reply);
        // A stop signal that came during the call ends the program once its reply is out.
        LEDMain::EndIfStopped();
        return true;
    }

public slots:
    void ClientLeft(const QString& client) { DropClient(client); }

    void BusGone()
    {
        if (g_busGone)
            return;
        g_busGone = true;
        DropAll();
        LEDMain::AutomationGone();
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
    it->object->deleteLater();
    g_instances.erase(it);
    if (--g_created[owner] <= 0)
        g_created.remove(owner);
    Unwatch(owner);
    ReportDeaths(1);
}

// The activation file's Exec= line is split like a shell command line.
QString ShellQuoted(const QString& s)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+,:@%=-]+$"));
    if (plain.match(s).hasMatch())
        return s;
    QString q = s;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

QString ExecutablePath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString ActivationFile(const QString& service)
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    // A relative XDG_DATA_HOME is invalid and ignored.
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    return dataHome + QStringLiteral("/dbus-1/services/") + service + QStringLiteral(".service");
}

// The application directory's LED_CONFIG.TXT, for --regserver, which runs no start-up.
void LoadSettingsQuietly()
{
    TRAPAR::SetParDir(Platform::App().Path + QLatin1Char('/'));
    TRAPAR::SetParFile(QStringLiteral("LED_CONFIG.TXT"));
    if (QFileInfo::exists(TRAPAR::GetParPath()))
        TRAPAR::LoadPars();
}

} // namespace

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
    // libdbus stops reading the socket while 63 MiB of received calls are alive
    // and starts again from the thread that frees them: this one, where QtDBus
    // cannot switch its connection thread's socket back on, so a burst of calls
    // left the service deaf for good. It never stops reading on their account;
    // they wait here, and the bus refuses what its own limits refuse.
    dbus_connection_set_max_received_size(static_cast<DBusConnection*>(bus.internalPointer()), LONG_MAX);
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
    const QString name = ControllerName();
    g_ownService = BusNames::ServiceFor(name);
    if (!bus.registerService(g_ownService)) {
        bus.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
        delete std::exchange(g_tree, nullptr);
        g_app = nullptr;
        return fail(QStringLiteral("the bus name %1 is taken by another program").arg(g_ownService));
    }
    // A named program is also the one that plain clients reach, when none is yet.
    g_plainHeld = !name.isEmpty() && bus.registerService(kService);
    g_watcher = new QDBusServiceWatcher(QString(), bus, QDBusServiceWatcher::WatchForUnregistration, g_tree);
    QObject::connect(g_watcher, &QDBusServiceWatcher::serviceUnregistered, g_tree, &Tree::ClientLeft);
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), g_tree,
                SLOT(BusGone()));
    g_busGone = false;
    g_nameReleased = false;
    g_running = true;
    return true;
}

void FlushReplies()
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
    bus.call(ping, QDBus::Block, 1000);
}

void ReleaseName()
{
    if (!g_running || g_nameReleased || g_busGone)
        return;
    g_nameReleased = true;
    QStringList names{g_ownService};
    if (g_plainHeld)
        names << kService;
    for (const QString& service : std::as_const(names)) {
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReleaseName"));
        m << service;
        Bus().asyncCall(m);
    }
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

int RegServer(bool install)
{
    if (Platform::App().Path.isEmpty())
        Platform::App().Path = QCoreApplication::applicationDirPath();
    LoadSettingsQuietly();
    const QString name = ControllerName();
    const QString service = BusNames::ServiceFor(name);
    const QString file = ActivationFile(service);
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (!install) {
        if (!QFile::exists(file)) {
            out << "orvane: nothing to remove, " << file << " does not exist" << Qt::endl;
            return 0;
        }
        QFile f(file);
        if (!f.remove()) {
            err << "orvane: cannot remove " << file << ": " << f.errorString() << Qt::endl;
            return 1;
        }
        out << "orvane: removed " << file << "; " << service << " no longer starts this program"
            << Qt::endl;
        return 0;
    }

    QString exec = ShellQuoted(ExecutablePath()) + QStringLiteral(" --automation");
    // A named controller is started with the settings that name it.
    if (!name.isEmpty())
        exec += QStringLiteral(" --app-dir ") + ShellQuoted(Platform::App().Path);
    const QString dir = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(dir)) {
        err << "orvane: cannot create " << dir << Qt::endl;
        return 1;
    }
    QSaveFile f(file);
    if (f.open(QIODevice::WriteOnly)) {
        const QString text = QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n").arg(service, exec);
        f.write(text.toUtf8());
    }
    if (!f.commit()) {
        err << "orvane: cannot write " << file << ": " << f.errorString() << Qt::endl;
        return 1;
    }
    out << "orvane: wrote " << file << "; a client calling " << service << " now starts \"" << exec
        << "\"" << Qt::endl;
    return 0;
}

} // namespace OrvaneCmd

#include "OrvaneCmd.moc"
