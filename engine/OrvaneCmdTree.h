#pragma once
// The bus road's served tree (OrvaneCmd.cpp): the objects under /OrvaneCmd,
// who owns each, the calls and their limits. Only OrvaneCmd.cpp includes it.
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

inline QDBusConnection Bus() { return QDBusConnection::sessionBus(); }

// The number of a created object's path; 0 (never used) for any other path.
inline uint InstanceNumber(const QString& path)
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
inline void ReportDeaths(int count)
{
    for (int i = 0; i < count; ++i)
        LEDMain::AutomationObjectDestroyed();
}

inline bool IsCmdInterface(const QObject* adaptor) { return BusTree::InterfaceOf(adaptor) == kCmdInterface; }

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
                return msg.createErrorReply(QDBusError::LimitsExceeded, Limits::ScriptTooLong(bytes));
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
                return msg.createErrorReply(QDBusError::LimitsExceeded, Limits::RepliesTooLong(bytes));
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

} // namespace OrvaneCmd
