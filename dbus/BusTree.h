#pragma once
// Serves a tree of objects under one path on a D-Bus connection. Each object is
// a QObject with QDBusAbstractAdaptor children (generated from interface XML);
// the tree answers Introspect, org.freedesktop.DBus.Properties and the adaptors'
// methods itself, because every call needs its caller's name (for objects that
// belong to one client), which QtDBus hands to adaptors for method calls but not
// for property reads. What objects exist and who may use them is the subclass's.
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QStringList>
#include <functional>

class QDBusAbstractAdaptor;

class BusTree : public QDBusVirtualObject {
    Q_OBJECT
public:
    using QDBusVirtualObject::QDBusVirtualObject;

    // The interfaces of the object at path, from its adaptors; empty when none is there.
    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& msg, const QDBusConnection& connection) override;

    // The whole introspection document for one caller: the object's interfaces,
    // the standard ones and the child nodes ChildNodes gives that caller.
    QString IntrospectFor(const QString& path, const QString& caller) const;

    // The adaptor of object with that interface name, or nullptr.
    static QDBusAbstractAdaptor* AdaptorFor(const QObject& object, const QString& interface);
    // The D-Bus interface name an adaptor carries.
    static QString InterfaceOf(const QObject* adaptor);
    // libdbus stops reading the socket while 63 MiB of received calls are alive
    // and starts again from the thread that frees them: the window thread, where
    // QtDBus cannot switch its connection thread's socket back on, so a burst of
    // calls left a service deaf for good. After this the connection never stops
    // reading on their account; the bus refuses what its own limits refuse.
    static void ReadWithoutLimit(const QDBusConnection& connection);

protected:
    // The object at path, and in owner the one client (unique bus name) that may
    // use it, empty when anybody may; nullptr when no live object is there.
    virtual QObject* Resolve(const QString& path, QString* owner) const = 0;
    // The child node names listed to caller under path; none by default.
    virtual QStringList ChildNodes(const QString& path, const QString& caller) const;
    // Called before each call is served and again once its reply is sent.
    virtual void CallArriving() {}
    virtual void ReplySent() {}
    // A property read on target through adaptor (Get of an existing property, GetAll).
    virtual void PropertyRead(const QDBusMessage& msg, QObject& target, const QDBusAbstractAdaptor& adaptor);
    // A method call whose arguments fit: an error reply refuses it, an invalid
    // message lets it run.
    virtual QDBusMessage Admit(const QDBusMessage& msg, QObject& target, const QDBusAbstractAdaptor& adaptor,
                               const QList<QVariant>& args);
    // Runs the method through invoke (false when it could not be called), which
    // fills result, and answers the call. By default the reply carries result.
    virtual QDBusMessage Run(const QDBusMessage& msg, const std::function<bool()>& invoke, const QVariant& result);

    // The reply to a method that could not be called.
    static QDBusMessage NotCalled(const QDBusMessage& msg);
    // The reply that carries result (none when result is invalid).
    static QDBusMessage ReplyWith(const QDBusMessage& msg, const QVariant& result);

private:
    QDBusMessage Properties(const QDBusMessage& msg, QObject& target);
    QDBusMessage Invoke(const QDBusMessage& msg, QObject& target);
};
