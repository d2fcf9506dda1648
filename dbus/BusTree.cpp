#include "dbus/BusTree.h"

#include "base/Log.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QMetaProperty>
#include <climits>
#include <dbus/dbus.h>

namespace {

const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kPeer = QStringLiteral("org.freedesktop.DBus.Peer");

QList<QDBusAbstractAdaptor*> AdaptorsOf(const QObject& object)
{
    return object.findChildren<QDBusAbstractAdaptor*>(QString(), Qt::FindDirectChildrenOnly);
}

bool HasProperties(const QDBusAbstractAdaptor* adaptor)
{
    return adaptor->metaObject()->propertyCount() > QDBusAbstractAdaptor::staticMetaObject.propertyCount();
}

QDBusMessage UnknownInterface(const QDBusMessage& msg, const QString& interface)
{
    return msg.createErrorReply(QDBusError::UnknownInterface,
                                QStringLiteral("%1 has no interface %2").arg(msg.path(), interface));
}

} // namespace

QString BusTree::InterfaceOf(const QObject* adaptor)
{
    const QMetaObject* mo = adaptor->metaObject();
    const int i = mo->indexOfClassInfo("D-Bus Interface");
    return i < 0 ? QString() : QString::fromLatin1(mo->classInfo(i).value());
}

QDBusAbstractAdaptor* BusTree::AdaptorFor(const QObject& object, const QString& interface)
{
    for (QDBusAbstractAdaptor* a : AdaptorsOf(object))
        if (interface == InterfaceOf(a))
            return a;
    return nullptr;
}

void BusTree::ReadWithoutLimit(const QDBusConnection& connection)
{
    dbus_connection_set_max_received_size(static_cast<DBusConnection*>(connection.internalPointer()), LONG_MAX);
}

QStringList BusTree::ChildNodes(const QString&, const QString&) const { return {}; }

void BusTree::PropertyRead(const QDBusMessage&, QObject&, const QDBusAbstractAdaptor&) {}

QDBusMessage BusTree::Admit(const QDBusMessage&, QObject&, const QDBusAbstractAdaptor&, const QList<QVariant>&)
{
    return QDBusMessage();
}

QDBusMessage BusTree::Run(const QDBusMessage& msg, const std::function<bool()>& invoke, const QVariant& result)
{
    return invoke() ? ReplyWith(msg, result) : NotCalled(msg);
}

QDBusMessage BusTree::NotCalled(const QDBusMessage& msg)
{
    return msg.createErrorReply(QDBusError::InternalError,
                                QStringLiteral("%1 could not be called").arg(msg.member()));
}

QDBusMessage BusTree::ReplyWith(const QDBusMessage& msg, const QVariant& result)
{
    return result.isValid() ? msg.createReply(result) : msg.createReply();
}

// org.freedesktop.DBus.Properties, answered from the adaptors' properties.
QDBusMessage BusTree::Properties(const QDBusMessage& msg, QObject& target)
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
    const QDBusAbstractAdaptor* adaptor = nullptr;
    if (interface.isEmpty()) {
        for (const QDBusAbstractAdaptor* a : AdaptorsOf(target))
            if (HasProperties(a)) {
                adaptor = a;
                break;
            }
    } else {
        adaptor = AdaptorFor(target, interface);
    }
    if (!adaptor)
        return UnknownInterface(msg, interface);
    const QMetaObject* mo = adaptor->metaObject();
    const int first = QDBusAbstractAdaptor::staticMetaObject.propertyCount();

    if (getAll) {
        PropertyRead(msg, target, *adaptor);
        QVariantMap all;
        for (int i = first; i < mo->propertyCount(); ++i)
            all.insert(QString::fromLatin1(mo->property(i).name()), mo->property(i).read(adaptor));
        return msg.createReply(QVariant::fromValue(all));
    }

    const QString name = args.at(1).toString();
    const int index = mo->indexOfProperty(name.toUtf8().constData());
    if (index < first)
        return msg.createErrorReply(QDBusError::UnknownProperty,
                                    QStringLiteral("No property %1 in %2").arg(name, InterfaceOf(adaptor)));
    const QMetaProperty property = mo->property(index);
    if (set)
        return msg.createErrorReply(QDBusError::PropertyReadOnly,
                                    QStringLiteral("Property %1 is read-only").arg(name));
    PropertyRead(msg, target, *adaptor);
    return msg.createReply(QVariant::fromValue(QDBusVariant(property.read(adaptor))));
}

// A public slot of the adaptor that carries the call's interface (any adaptor
// when the call names none).
QDBusMessage BusTree::Invoke(const QDBusMessage& msg, QObject& target)
{
    const QString interface = msg.interface();
    const QByteArray member = msg.member().toUtf8();
    QDBusAbstractAdaptor* adaptor = nullptr;
    QMetaMethod method;
    bool interfaceFound = false;
    for (QDBusAbstractAdaptor* a : AdaptorsOf(target)) {
        if (!interface.isEmpty() && interface != InterfaceOf(a))
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
    // Methods of at most one argument are served; no interface here has more.
    if (msg.signature().toLatin1() != expected || args.size() > 1)
        return msg.createErrorReply(QDBusError::InvalidArgs,
                                    QStringLiteral("%1 takes (%2), not (%3)")
                                        .arg(msg.member(), QString::fromLatin1(expected), msg.signature()));

    if (QDBusMessage refused = Admit(msg, target, *adaptor, args); refused.type() != QDBusMessage::InvalidMessage)
        return refused;

    QVariant result;
    if (method.returnMetaType().id() != QMetaType::Void)
        result = QVariant(method.returnMetaType());
    QGenericReturnArgument ret = result.isValid()
        ? QGenericReturnArgument(method.typeName(), result.data())
        : QGenericReturnArgument();
    const QByteArray argType = args.isEmpty() ? QByteArray() : method.parameterTypeName(0);
    const auto invoke = [&] {
        return args.isEmpty()
            ? method.invoke(adaptor, Qt::DirectConnection, ret)
            : method.invoke(adaptor, Qt::DirectConnection, ret,
                            QGenericArgument(argType.constData(), args.at(0).constData()));
    };
    return Run(msg, invoke, result);
}

QString BusTree::introspect(const QString& path) const
{
    const QObject* target = Resolve(path, nullptr);
    if (!target)
        return QString();
    QString xml;
    for (const QDBusAbstractAdaptor* a : AdaptorsOf(*target)) {
        const QMetaObject* mo = a->metaObject();
        xml += QString::fromUtf8(mo->classInfo(mo->indexOfClassInfo("D-Bus Introspection")).value());
    }
    return xml;
}

// Only the caller's own child nodes are named, so that it neither learns of
// other clients' objects nor gets a document that grows with them.
QString BusTree::IntrospectFor(const QString& path, const QString& caller) const
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
    for (const QString& node : ChildNodes(path, caller))
        xml += QStringLiteral("  <node name=\"%1\"/>\n").arg(node);
    xml += QStringLiteral("</node>\n");
    return xml;
}

bool BusTree::handleMessage(const QDBusMessage& msg, const QDBusConnection& connection)
{
    if (msg.type() != QDBusMessage::MethodCallMessage)
        return false;
    CallArriving();
    const QString interface = msg.interface();
    if (interface == kPeer)
        return false;
    // Timed only while traced.
    const bool tracing = lcDbus().isDebugEnabled();
    QElapsedTimer took;
    if (tracing)
        took.start();
    const auto answer = [&](const QDBusMessage& reply) {
        connection.send(reply);
        if (tracing)
            qCDebug(lcDbus).noquote() << "call" << msg.service() << msg.path() << interface + QLatin1Char('.') + msg.member()
                                      << "->" << (reply.type() == QDBusMessage::ErrorMessage ? reply.errorName() : QStringLiteral("reply"))
                                      << "in" << took.nsecsElapsed() / 1000 << "us";
    };
    QString owner;
    QObject* target = Resolve(msg.path(), &owner);
    if (!target) {
        answer(msg.createErrorReply(QDBusError::UnknownObject, QStringLiteral("No object at %1").arg(msg.path())));
        return true;
    }
    if (!owner.isEmpty() && owner != msg.service()) {
        answer(msg.createErrorReply(QDBusError::AccessDenied,
                                    QStringLiteral("%1 belongs to another client").arg(msg.path())));
        return true;
    }
    if ((interface.isEmpty() || interface == kIntrospectable) && msg.member() == QLatin1String("Introspect")) {
        answer(msg.signature().isEmpty()
                   ? msg.createReply(IntrospectFor(msg.path(), msg.service()))
                   : msg.createErrorReply(QDBusError::InvalidArgs,
                                          QStringLiteral("Introspect takes (), not (%1)").arg(msg.signature())));
        return true;
    }
    // The served interfaces have no method of these names, so a call without an
    // interface name that uses one means the properties.
    const bool properties = interface == kProperties
        || (interface.isEmpty()
            && (msg.member() == QLatin1String("Get") || msg.member() == QLatin1String("GetAll")
                || msg.member() == QLatin1String("Set")));
    answer(properties ? Properties(msg, *target) : Invoke(msg, *target));
    ReplySent();
    return true;
}
