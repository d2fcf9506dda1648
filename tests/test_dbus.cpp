// Automation over D-Bus, served by this test process on a private bus and
// called from other connections: a second connection of the test (its own
// unique name), gdbus, orvane-exec and Python as outside clients.
#include "comm/LEDCOMM.h"
#include "dbus/BusNames.h"
#include "engine/LEDMain.h"
#include "engine/Limits.h"
#include "engine/OrvaneCmd.h"
#include "base/Platform.h"
#include "mainwindow/frmEditor.h"
#include "mainwindow/frmVURUruduvo.h"
#include "params/TRAPAR.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ServedBus.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QPointer>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <climits>

namespace {

using BusNames::kRoot;
using BusNames::kService;
const QString kCmd = BusNames::kCmdInterface;
const QString kFactory = BusNames::kFactoryInterface;
const QString kInstance = BusNames::kInstanceInterface;
const QString kProps = QStringLiteral("org.freedesktop.DBus.Properties");

const QString kAccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
const QString kUnknownObject = QStringLiteral("org.freedesktop.DBus.Error.UnknownObject");
const QString kLimitsExceeded = QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded");

using TestSupport::Call;
using TestSupport::Ran;

// Interfaces and child nodes named at the top of an introspection document.
struct Introspection {
    QStringList interfaces;
    QStringList nodes;
};

Introspection Parse(const QString& xml)
{
    Introspection r;
    QXmlStreamReader reader(xml);
    int depth = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            ++depth;
            if (depth == 2 && reader.name() == QLatin1String("interface"))
                r.interfaces << reader.attributes().value(QLatin1String("name")).toString();
            if (depth == 2 && reader.name() == QLatin1String("node"))
                r.nodes << reader.attributes().value(QLatin1String("name")).toString();
        } else if (reader.isEndElement()) {
            --depth;
        }
    }
    r.interfaces.sort();
    return r;
}

} // namespace

class TestDBus : public QObject {
    Q_OBJECT

    TestSupport::ServedBus bus_;
    QList<int> quits_;
    QStringList clients_;

    // A client connection of its own, so a unique name of its own.
    QDBusConnection NewClient()
    {
        clients_ << QStringLiteral("client%1").arg(clients_.size() + 1);
        return QDBusConnection::connectToBus(bus_.Address(), clients_.last());
    }

    // Every client of the earlier cases leaves the bus; their objects die with that.
    void AllClientsLeave()
    {
        for (const QString& name : std::as_const(clients_))
            QDBusConnection::disconnectFromBus(name);
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), 0, 10000);
        // The last death queued a check of the process's end; it runs now, not in the next test.
        QCoreApplication::sendPostedEvents();
        quits_.clear();
    }

    static QString Exec(const QDBusConnection& client, const QString& path, const QString& script)
    {
        const QDBusMessage r = Call(client, path, kCmd, QStringLiteral("Exec"), {script});
        if (r.type() != QDBusMessage::ReplyMessage)
            return QStringLiteral("<%1: %2>").arg(r.errorName(), r.errorMessage());
        return r.arguments().value(0).toString();
    }

    static QString Create(const QDBusConnection& client)
    {
        const QDBusMessage r = Call(client, kRoot, kFactory, QStringLiteral("CreateInstance"));
        return r.type() == QDBusMessage::ReplyMessage
            ? qvariant_cast<QDBusObjectPath>(r.arguments().value(0)).path()
            : QString();
    }

    // n calls of CreateInstance, sent some at a time without waiting for each
    // (the bus refuses a caller too many at once); the answers in order: a
    // path, or the error's name.
    static QStringList CreateMany(const QDBusConnection& client, int n)
    {
        QStringList answers;
        while (answers.size() < n) {
            QList<QDBusPendingCall> pending;
            for (qsizetype i = answers.size(); i < n && pending.size() < 64; ++i)
                pending << client.asyncCall(
                    QDBusMessage::createMethodCall(kService, kRoot, kFactory, QStringLiteral("CreateInstance")),
                    INT_MAX);
            for (const QDBusPendingCall& p : std::as_const(pending)) {
                if (!QTest::qWaitFor([&] { return p.isFinished(); }, 20000))
                    return answers;
                const QDBusMessage r = p.reply();
                answers << (r.type() == QDBusMessage::ReplyMessage
                                ? qvariant_cast<QDBusObjectPath>(r.arguments().value(0)).path()
                                : r.errorName());
            }
        }
        return answers;
    }

    static QDBusMessage GetProperty(const QDBusConnection& client, const QString& path)
    {
        return Call(client, path, kProps, QStringLiteral("Get"), {kCmd, QStringLiteral("OrvaneCmd")});
    }

    static QString PathIn(const QDBusMessage& propertyReply)
    {
        const QVariant v = qvariant_cast<QDBusVariant>(propertyReply.arguments().value(0)).variant();
        return qvariant_cast<QDBusObjectPath>(v).path();
    }

    static Introspection Introspect(const QDBusConnection& client, const QString& path)
    {
        const QDBusMessage r =
            Call(client, path, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
        return Parse(r.arguments().value(0).toString());
    }

    // Runs an outside client on the private bus while this process serves it.
    Ran Run(const QString& program, const QStringList& args, const QByteArray& input = QByteArray())
    {
        return TestSupport::RunProcess(program, args, bus_.Environment(), input);
    }

    static QString Exe(const char* name) { return QStringLiteral(ORVANE_BIN_DIR "/") + QLatin1String(name); }

    // A Python with the dbus module, or nothing.
    static QString Python()
    {
        for (const QString& py : {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
            QProcess p;
            p.start(py, {QStringLiteral("-c"), QStringLiteral("import dbus")});
            if (p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
                return py;
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(LEDMain::AutomationObjects(), 0);
        QCOMPARE(LEDMain::MainWindowLoaded(), int16_t(0));
        QVERIFY(bus_.Serve([this](int code) { quits_ << code; }));
        QVERIFY(OrvaneCmd::StartService());  // a second start changes nothing
    }

    void cleanupTestCase()
    {
        bus_.EndService();
        QCOMPARE(LEDMain::AutomationObjects(), 0);
    }

    void applicationObjectServesWithoutCreating()
    {
        const int before = LEDMain::AutomationObjects();
        QDBusConnection a = NewClient();
        QDBusConnection b = NewClient();
        QCOMPARE(Exec(a, kRoot, "Ver"), QStringLiteral("1.0 ; "));
        QCOMPARE(LEDMain::AutomationObjects(), before + 1);  // a's own object
        QCOMPARE(Exec(a, kRoot, ""), QString());
        QCOMPARE(Exec(a, kRoot, "Ver;Bogus"), QStringLiteral("1.0 ; Error Unknown command ; "));
        QCOMPARE(LEDMain::AutomationObjects(), before + 1);  // still the one object
        QCOMPARE(Exec(b, kRoot, "Ver"), QStringLiteral("1.0 ; "));
        QCOMPARE(LEDMain::AutomationObjects(), before + 2);
        // Without an interface name the member is found all the same.
        QCOMPARE(Call(b, kRoot, QString(), "Exec", {"Ver"}).arguments().value(0).toString(),
                 QStringLiteral("1.0 ; "));
        QCOMPARE(LEDMain::AutomationObjects(), before + 2);
    }

    void introspectAndPingCreateNothing()
    {
        const int before = LEDMain::AutomationObjects();
        QDBusConnection c = NewClient();
        const Introspection root = Introspect(c, kRoot);
        QCOMPARE(root.interfaces,
                 (QStringList{kFactory, kCmd, "org.freedesktop.DBus.Introspectable", "org.freedesktop.DBus.Peer",
                              kProps}));
        const QDBusMessage ping = Call(c, kRoot, "org.freedesktop.DBus.Peer", "Ping");
        QCOMPARE(ping.type(), QDBusMessage::ReplyMessage);
        // Properties of an interface that has none, and a failed call, create nothing either.
        QCOMPARE(Call(c, kRoot, kProps, "GetAll", {kFactory}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(Call(c, kRoot, kCmd, "Exec", {42}).errorName(),
                 QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
        QCOMPARE(Call(c, kRoot, kProps, "Get", {kCmd, "Nothing"}).errorName(),
                 QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"));
        // Levels is for clients that only look (orvane-exec --list).
        const QDBusMessage levels = Call(c, kRoot, kProps, "Get", {kCmd, "Levels"});
        QCOMPARE(qdbus_cast<QList<int>>(levels.arguments().value(0).value<QDBusVariant>().variant()).size(), 4);
        QCOMPARE(LEDMain::AutomationObjects(), before);
    }

    void propertyReadGivesTheClientItsObject()
    {
        const int before = LEDMain::AutomationObjects();
        QDBusConnection c = NewClient();
        const QDBusMessage got = GetProperty(c, kRoot);
        QCOMPARE(got.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(PathIn(got), kRoot);
        QCOMPARE(LEDMain::AutomationObjects(), before + 1);

        // A bus browser reads all properties, the interface named or not: it is shown them and given nothing.
        QDBusConnection d = NewClient();
        for (const QString& interface : {kCmd, QString()}) {
            const QDBusMessage all = Call(d, kRoot, kProps, "GetAll", {interface});
            QCOMPARE(all.type(), QDBusMessage::ReplyMessage);
            const QVariantMap map = qdbus_cast<QVariantMap>(all.arguments().value(0));
            QCOMPARE(map.keys(), (QStringList{"Levels", "OrvaneCmd"}));
            QCOMPARE(qvariant_cast<QDBusObjectPath>(map.value("OrvaneCmd")).path(), kRoot);
            QCOMPARE(LEDMain::AutomationObjects(), before + 1);
        }

        const QDBusMessage set =
            Call(d, kRoot, kProps, "Set", {kCmd, "OrvaneCmd", QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusObjectPath("/x"))))});
        QCOMPARE(set.errorName(), QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"));
        QCOMPARE(LEDMain::AutomationObjects(), before + 1);
    }

    void createdObjectLivesUntilReleased()
    {
        QDBusConnection a = NewClient();
        QCOMPARE(Exec(a, kRoot, "Ver"), QStringLiteral("1.0 ; "));
        const int before = LEDMain::AutomationObjects();

        const QString p1 = Create(a);
        const QString p2 = Create(a);
        QVERIFY(p1.startsWith(kRoot + "/"));
        QVERIFY(p2.startsWith(kRoot + "/"));
        QVERIFY(p1 != p2);
        QCOMPARE(LEDMain::AutomationObjects(), before + 2);

        QCOMPARE(Exec(a, p1, "Ver;CommandCount").section(" ; ", 0, 0), QStringLiteral("1.0"));
        QCOMPARE(PathIn(GetProperty(a, p1)), p1);
        QCOMPARE(PathIn(GetProperty(a, p2)), p2);

        // Exactly the two members of the class and Release, plus the standard interfaces.
        const Introspection object = Introspect(a, p1);
        QCOMPARE(object.interfaces, (QStringList{kInstance, kCmd, "org.freedesktop.DBus.Introspectable",
                                                 "org.freedesktop.DBus.Peer", kProps}));
        QVERIFY(object.nodes.isEmpty());
        QVERIFY(Introspect(a, kRoot).nodes.contains(p1.section('/', -1)));
        // The factory belongs to the application object, Release to created objects.
        QCOMPARE(Call(a, p1, kFactory, "CreateInstance").errorName(),
                 QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"));
        QCOMPARE(Call(a, kRoot, kInstance, "Release").errorName(),
                 QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"));
        QCOMPARE(Call(a, p1, kCmd, "Nothing").errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));

        QCOMPARE(Call(a, p1, kInstance, "Release").type(), QDBusMessage::ReplyMessage);
        QCOMPARE(LEDMain::AutomationObjects(), before + 1);
        QCOMPARE(Call(a, p1, kCmd, "Exec", {"Ver"}).errorName(), kUnknownObject);
        QCOMPARE(GetProperty(a, p1).errorName(), kUnknownObject);
        QCOMPARE(Call(a, p1, kInstance, "Release").errorName(), kUnknownObject);
        QCOMPARE(Call(a, p1, "org.freedesktop.DBus.Introspectable", "Introspect").errorName(), kUnknownObject);
        QVERIFY(!Introspect(a, kRoot).nodes.contains(p1.section('/', -1)));
        QCOMPARE(LEDMain::AutomationObjects(), before + 1);
        // A path that never held an object, and one that is not a number.
        QCOMPARE(Call(a, kRoot + "/999999", kCmd, "Exec", {"Ver"}).errorName(), kUnknownObject);
        QCOMPARE(Call(a, p2 + "0", kCmd, "Exec", {"Ver"}).errorName(), kUnknownObject);
        QCOMPARE(Call(a, kRoot + "/x", kCmd, "Exec", {"Ver"}).errorName(), kUnknownObject);

        // The other object is untouched by the release.
        QCOMPARE(Exec(a, p2, "Ver"), QStringLiteral("1.0 ; "));
        QCOMPARE(Call(a, p2, QString(), "Release").type(), QDBusMessage::ReplyMessage);
        QCOMPARE(LEDMain::AutomationObjects(), before);
    }

    void onlyTheCreatorMayUseAnObject()
    {
        QDBusConnection owner = NewClient();
        QDBusConnection other = NewClient();
        const QString p = Create(owner);
        QVERIFY(!p.isEmpty());
        const int before = LEDMain::AutomationObjects();

        QCOMPARE(Call(other, p, kCmd, "Exec", {"Ver"}).errorName(), kAccessDenied);
        QCOMPARE(GetProperty(other, p).errorName(), kAccessDenied);
        QCOMPARE(Call(other, p, kProps, "GetAll", {kCmd}).errorName(), kAccessDenied);
        QCOMPARE(Call(other, p, kInstance, "Release").errorName(), kAccessDenied);
        QCOMPARE(LEDMain::AutomationObjects(), before);  // nothing made, nothing released

        QCOMPARE(Exec(owner, p, "Ver"), QStringLiteral("1.0 ; "));
        QCOMPARE(Call(owner, p, kInstance, "Release").type(), QDBusMessage::ReplyMessage);
        // Once released it is gone for everybody, not somebody else's.
        QCOMPARE(Call(other, p, kCmd, "Exec", {"Ver"}).errorName(), kUnknownObject);
        QCOMPARE(LEDMain::AutomationObjects(), before - 1);
    }

    void clientLeavingTheBusDropsItsObjects()
    {
        QDBusConnection watcher = NewClient();
        const int before = LEDMain::AutomationObjects();
        const QString name = QStringLiteral("leaver");
        QString p1, p2;
        {
            QDBusConnection leaver = QDBusConnection::connectToBus(bus_.Address(), name);
            QCOMPARE(Exec(leaver, kRoot, "Ver"), QStringLiteral("1.0 ; "));
            p1 = Create(leaver);
            p2 = Create(leaver);
            QCOMPARE(LEDMain::AutomationObjects(), before + 3);
            QCOMPARE(Call(watcher, p1, kCmd, "Exec", {"Ver"}).errorName(), kAccessDenied);
        }
        QDBusConnection::disconnectFromBus(name);
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), before, 10000);
        // Gone, not merely someone else's.
        QCOMPARE(Call(watcher, p1, kCmd, "Exec", {"Ver"}).errorName(), kUnknownObject);
        QCOMPARE(Call(watcher, p2, kCmd, "Exec", {"Ver"}).errorName(), kUnknownObject);
    }

    void clientGoneBeforeItsCallIsServed()
    {
        const int before = LEDMain::AutomationObjects();
        const int64_t commands = LEDMain::CommandCounter();
        // dbus-send expects no reply and leaves at once; this process serves
        // nothing until it has gone, so the client is gone when its object is made.
        QProcess send;
        send.setProcessEnvironment(bus_.Environment());
        send.start(QStringLiteral("dbus-send"),
                   {"--session", "--type=method_call", "--dest=" + kService, kRoot, kCmd + ".Exec",
                    "string:Ver"});
        QVERIFY(send.waitForFinished(10000));
        QCOMPARE(send.exitCode(), 0);
        // The script still runs, and the object it made does not outlive its client.
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::CommandCounter(), commands + 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), before, 10000);
    }

    void scriptOverTheLimitIsRefusedBeforeItRuns()
    {
        QDBusConnection c = NewClient();
        const int objects = LEDMain::AutomationObjects();
        const int64_t commands = LEDMain::CommandCounter();
        // Exactly at the limit it runs: blanks around one command.
        QString atLimit = QStringLiteral("Ver");
        atLimit += QString(qsizetype(Limits::kMaxScriptBytes) - atLimit.size(), QLatin1Char(' '));
        QCOMPARE(Exec(c, kRoot, atLimit), QStringLiteral("1.0 ; "));
        QCOMPARE(LEDMain::CommandCounter(), commands + 1);
        QCOMPARE(LEDMain::AutomationObjects(), objects + 1);
        QDBusConnection d = NewClient();

        // One byte more, and three times as much: nothing runs, no object is made.
        for (const QString& script : {atLimit + QLatin1Char(' '), QStringLiteral("x;").repeated(6 << 20)}) {
            const QDBusMessage r = Call(d, kRoot, kCmd, "Exec", {script});
            QCOMPARE(r.errorName(), kLimitsExceeded);
            QVERIFY2(r.errorMessage().contains(QString::number(script.toUtf8().size()))
                         && r.errorMessage().contains(QStringLiteral("4194304 (4 MiB)")),
                     qPrintable(r.errorMessage()));
        }
        // The limit is on bytes: two of them for each of these characters.
        const QString accented(qsizetype(Limits::kMaxScriptBytes / 2) + 1, QChar(0xE9));
        QCOMPARE(Call(d, kRoot, kCmd, "Exec", {accented}).errorName(), kLimitsExceeded);
        QCOMPARE(LEDMain::CommandCounter(), commands + 1);
        QCOMPARE(LEDMain::AutomationObjects(), objects + 1);
        QCOMPARE(Exec(d, kRoot, "Ver"), QStringLiteral("1.0 ; "));
    }

    void replyOverTheLimitIsNeverSent()
    {
        QDBusConnection c = NewClient();
        const QString unknown = QStringLiteral("Error Unknown command ; ");
        const int64_t most = Limits::kMaxReplyBytes / unknown.size();
        // The longest reply that fits is sent whole.
        int64_t commands = LEDMain::CommandCounter();
        const QString fits = Exec(c, kRoot, QStringLiteral("x;").repeated(most));
        QCOMPARE(fits.size(), most * unknown.size());
        QVERIFY(fits.startsWith(unknown) && fits.endsWith(unknown));
        QCOMPARE(LEDMain::CommandCounter(), commands + most);

        // One response more, and 2 MiB of "x;" (24 MiB of responses): the script
        // runs, its responses stay here, and the service goes on for everybody.
        for (const int64_t pieces : {most + 1, int64_t(1) << 20}) {
            commands = LEDMain::CommandCounter();
            const QDBusMessage r = Call(c, kRoot, kCmd, "Exec", {QStringLiteral("x;").repeated(pieces)});
            QCOMPARE(r.errorName(), kLimitsExceeded);
            QVERIFY2(r.errorMessage().contains(QStringLiteral("ran"))
                         && r.errorMessage().contains(QString::number(pieces * unknown.size()))
                         && r.errorMessage().contains(QStringLiteral("16777216 (16 MiB)")),
                     qPrintable(r.errorMessage()));
            QCOMPARE(LEDMain::CommandCounter(), commands + pieces);
            QCOMPARE(Exec(c, kRoot, "Ver"), QStringLiteral("1.0 ; "));
            QCOMPARE(Exec(NewClient(), kRoot, "Ver"), QStringLiteral("1.0 ; "));
        }
    }

    void objectsOfOneClientAreCapped()
    {
        QDBusConnection a = NewClient();
        QDBusConnection b = NewClient();
        const int before = LEDMain::AutomationObjects();
        const QStringList made = CreateMany(a, Limits::kMaxObjectsPerClient);
        QCOMPARE(made.size(), qsizetype(Limits::kMaxObjectsPerClient));
        QCOMPARE(made.filter(QRegularExpression(QStringLiteral("^/OrvaneCmd/\\d+$"))).size(), made.size());
        QCOMPARE(LEDMain::AutomationObjects(), before + Limits::kMaxObjectsPerClient);

        // One more is refused and makes nothing; its own object on /OrvaneCmd still serves.
        const QDBusMessage refused = Call(a, kRoot, kFactory, "CreateInstance");
        QCOMPARE(refused.errorName(), kLimitsExceeded);
        QVERIFY2(refused.errorMessage().contains(QStringLiteral("4096")), qPrintable(refused.errorMessage()));
        QCOMPARE(LEDMain::AutomationObjects(), before + Limits::kMaxObjectsPerClient);
        QCOMPARE(Exec(a, kRoot, "Ver"), QStringLiteral("1.0 ; "));
        const int withOwn = LEDMain::AutomationObjects();

        // Another client is not held back; a release makes room for one more.
        QVERIFY(!Create(b).isEmpty());
        QCOMPARE(Call(a, made.last(), kInstance, "Release").type(), QDBusMessage::ReplyMessage);
        QVERIFY(!Create(a).isEmpty());
        QCOMPARE(Call(a, kRoot, kFactory, "CreateInstance").errorName(), kLimitsExceeded);
        QCOMPARE(LEDMain::AutomationObjects(), withOwn + 1);

        // Leaving the bus frees them all.
        const QString name = a.name();
        a = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(name);
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), before + 1, 20000);
    }

    void objectsOfAllClientsAreCapped()
    {
        AllClientsLeave();
        // The cap lowered to 10, so that three clients reach it.
        OrvaneCmd::SetMaxObjects(10);
        const auto restore = qScopeGuard([] { OrvaneCmd::SetMaxObjects(0); });
        QDBusConnection a = NewClient();
        QDBusConnection b = NewClient();
        QDBusConnection c = NewClient();
        const QStringList madeA = CreateMany(a, 6);
        const QStringList madeB = CreateMany(b, 4);
        QCOMPARE(madeA.size() + madeB.size(), qsizetype(10));
        QCOMPARE((madeA + madeB).filter(kLimitsExceeded).size(), qsizetype(0));
        QCOMPARE(LEDMain::AutomationObjects(), 10);

        // Whoever asks now gets none, however few it holds; a script still runs.
        const QDBusMessage refused = Call(c, kRoot, kFactory, "CreateInstance");
        QCOMPARE(refused.errorName(), kLimitsExceeded);
        QVERIFY2(refused.errorMessage().contains(QStringLiteral("10 objects")), qPrintable(refused.errorMessage()));
        QCOMPARE(CreateMany(b, 1), QStringList{kLimitsExceeded});
        QCOMPARE(LEDMain::AutomationObjects(), 10);
        QCOMPARE(Exec(c, kRoot, "Ver"), QStringLiteral("1.0 ; "));
        QCOMPARE(LEDMain::AutomationObjects(), 11);  // c's own object on /OrvaneCmd is no created one

        // A release makes room for one more, whoever asks.
        QCOMPARE(Call(a, madeA.first(), kInstance, "Release").type(), QDBusMessage::ReplyMessage);
        QVERIFY(Create(c).startsWith(kRoot + "/"));
        QCOMPARE(CreateMany(a, 1), QStringList{kLimitsExceeded});
        QCOMPARE(LEDMain::AutomationObjects(), 11);
    }

    void introspectionShowsTheCallersObjectsOnly()
    {
        QDBusConnection a = NewClient();
        QDBusConnection b = NewClient();
        const QString pa = Create(a);
        const QString pb = Create(b);
        QVERIFY(!pa.isEmpty() && !pb.isEmpty());
        const QString na = pa.section('/', -1);
        const QString nb = pb.section('/', -1);

        const Introspection ra = Introspect(a, kRoot);
        QCOMPARE(ra.nodes, QStringList{na});
        QCOMPARE(ra.interfaces, (QStringList{kFactory, kCmd, "org.freedesktop.DBus.Introspectable",
                                             "org.freedesktop.DBus.Peer", kProps}));
        QCOMPARE(Introspect(b, kRoot).nodes, QStringList{nb});
        QCOMPARE(Introspect(NewClient(), kRoot).nodes, QStringList());
        // Another client's object is not shown to it, its own is.
        QCOMPARE(Call(b, pa, "org.freedesktop.DBus.Introspectable", "Introspect").errorName(), kAccessDenied);
        QCOMPARE(Introspect(a, pa).interfaces, (QStringList{kInstance, kCmd, "org.freedesktop.DBus.Introspectable",
                                                            "org.freedesktop.DBus.Peer", kProps}));
        // Without an interface name, as gdbus and busctl may ask.
        const QDBusMessage plain = Call(a, kRoot, QString(), "Introspect");
        QCOMPARE(Parse(plain.arguments().value(0).toString()).nodes, QStringList{na});
        // The document is whole: a client tool reads it.
        const Ran ran = Run(QStringLiteral("gdbus"), {"introspect", "--session", "--dest", kService,
                                                      "--object-path", kRoot});
        QVERIFY2(ran.finished && ran.code == 0, qPrintable(ran.err));
        QVERIFY(ran.out.contains(QStringLiteral("Exec(")));
        QVERIFY2(!ran.out.contains(QRegularExpression(QStringLiteral("node \\d"))), qPrintable(ran.out));
    }

    void lastObjectEndsAProcessWithoutWindow()
    {
        // No window is loaded here, so the process may end exactly when no object lives.
        AllClientsLeave();

        QDBusConnection a = NewClient();
        QDBusConnection b = NewClient();
        const QString pa = Create(a);
        const QString pb = Create(b);
        QCOMPARE(LEDMain::AutomationObjects(), 2);
        QCOMPARE(Call(a, pa, kInstance, "Release").type(), QDBusMessage::ReplyMessage);
        QTest::qWait(50);
        QVERIFY(quits_.isEmpty());  // b's object still lives
        QCOMPARE(Call(b, pb, kInstance, "Release").type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(quits_, QList<int>{0});
        quits_.clear();
    }

    void countedShutDownWithTwoClients()
    {
        AllClientsLeave();
        // Start-up against the virtual controller, as the program starts for a client.
        QTemporaryDir app;
        QVERIFY(app.isValid());
        TestSupport::SimProcess sim;
        QVERIFY(sim.Start({QStringLiteral("--link"), app.filePath(QStringLiteral("COM1"))}));
        TestSupport::WriteFile(app.filePath(QStringLiteral("LED_CONFIG.TXT")), TestSupport::Config(1, 200));
        TestSupport::MsgBoxRecorder boxes;
        Platform::App().Path = app.path();
        QCOMPARE(LEDMain::AppInit(), int16_t(1));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        QVERIFY(sim.WaitForLogged(4));  // all channels off
        QCOMPARE(LEDMain::MainWindowLoaded(), int16_t(1));

        QDBusConnection a = NewClient();
        const QString bName = QStringLiteral("second-client");
        QDBusConnection b = QDBusConnection::connectToBus(bus_.Address(), bName);
        const QString pa = Create(a);
        const QString pb = Create(b);
        QCOMPARE(LEDMain::AutomationObjects(), 2);

        // The operator closes the window while both clients hold objects: the port stays.
        frmVURUruduvo::Loaded()->close();
        QCOMPARE(LEDMain::MainWindowLoaded(), int16_t(0));
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));

        // One client lets go; the other still holds an object, so the port stays open.
        QCOMPARE(Call(a, pa, kInstance, "Release").type(), QDBusMessage::ReplyMessage);
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(1));
        QCOMPARE(Exec(b, pb, "LED R 100"), QStringLiteral("OK  ; "));
        QVERIFY(sim.WaitForLogged(5));
        QCOMPARE(sim.LoggedLines().value(4), QStringLiteral("AVA400"));
        QVERIFY(quits_.isEmpty());

        // The last one leaves without releasing: lights off, port closed, process ends.
        b = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(bName);
        QTRY_COMPARE_WITH_TIMEOUT(LEDCOMM::CommFormLoaded(), int16_t(0), 10000);
        QCOMPARE(LEDMain::AutomationObjects(), 0);
        QVERIFY(sim.WaitForLogged(9));
        QCOMPARE(sim.LoggedLines().mid(5), (QStringList{"AVA500", "AVB500", "AVC500", "AVD500"}));
        QTRY_COMPARE(quits_, QList<int>{0});
        quits_.clear();
    }

    void gdbusAsOutsideClient()
    {
        const int before = LEDMain::AutomationObjects();
        const Ran ran = Run(QStringLiteral("gdbus"),
                            {"call", "--session", "--dest", kService, "--object-path", kRoot, "--method",
                             kCmd + ".Exec", "Ver;Bogus"});
        QVERIFY2(ran.finished && ran.code == 0, qPrintable(ran.err));
        QCOMPARE(ran.out.trimmed(), QStringLiteral("('1.0 ; Error Unknown command ; ',)"));
        // gdbus has left the bus, and its object with it.
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), before, 10000);

        const Ran prop = Run(QStringLiteral("gdbus"),
                             {"call", "--session", "--dest", kService, "--object-path", kRoot, "--method",
                              kProps + ".Get", kCmd, "OrvaneCmd"});
        QVERIFY2(prop.finished && prop.code == 0, qPrintable(prop.err));
        QCOMPARE(prop.out.trimmed(), QStringLiteral("(<objectpath '/OrvaneCmd'>,)"));
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), before, 10000);
    }

    void orvaneExecOnAScriptAndOnStandardInput()
    {
        const int before = LEDMain::AutomationObjects();
        const Ran one = Run(Exe("orvane-exec"), {"Ver;Bogus"});
        QVERIFY2(one.finished && one.code == 0, qPrintable(one.err));
        QCOMPARE(one.out, QStringLiteral("1.0 ; Error Unknown command ; \n"));
        QCOMPARE(one.err, QString());

        const Ran lines = Run(Exe("orvane-exec"), {"-"}, "Ver\n\nBogus;Ver\r\nVer");
        QVERIFY2(lines.finished && lines.code == 0, qPrintable(lines.err));
        QCOMPARE(lines.out, QStringLiteral("1.0 ; \n\nError Unknown command ; 1.0 ; \n1.0 ; \n"));
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), before, 10000);

        // An empty standard input still makes and releases its object cleanly.
        const Ran none = Run(Exe("orvane-exec"), {"-"}, "");
        QVERIFY2(none.finished && none.code == 0, qPrintable(none.err));
        QCOMPARE(none.out, QString());

        const Ran usage = Run(Exe("orvane-exec"), {});
        QCOMPARE(usage.code, 2);
        QVERIFY(usage.err.contains("usage"));
    }

    void orvaneExecReportsBusErrors()
    {
        QProcess p;
        QProcessEnvironment env = bus_.Environment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus_.Path() + "/no-such-socket");
        p.setProcessEnvironment(env);
        p.start(Exe("orvane-exec"), {"Ver"});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
        QVERIFY(p.readAllStandardError().startsWith("orvane-exec: org.freedesktop.DBus.Error."));

        // No session bus: the bus whose address the application directory holds; a session bus wins.
        QTemporaryDir appDir;
        TestSupport::WriteFile(appDir.filePath(".orvane-bus"), bus_.Address().toUtf8() + "\n");
        QProcessEnvironment noSession = bus_.Environment();
        noSession.remove("DBUS_SESSION_BUS_ADDRESS");
        noSession.remove("XDG_RUNTIME_DIR");
        noSession.insert("ORVANE_APP_DIR", appDir.path());
        const Ran own = TestSupport::RunProcess(Exe("orvane-exec"), {"Ver"}, noSession);
        QVERIFY2(own.finished && own.code == 0 && own.out == "1.0 ; \n", qPrintable(own.err));
        noSession.insert("DBUS_SESSION_BUS_ADDRESS", env.value("DBUS_SESSION_BUS_ADDRESS"));
        QCOMPARE(TestSupport::RunProcess(Exe("orvane-exec"), {"Ver"}, noSession).code, 1);
        TestSupport::WriteFile(appDir.filePath(".orvane-bus"), "unix:path=" + appDir.filePath("gone").toUtf8());
        noSession.remove("DBUS_SESSION_BUS_ADDRESS");
        const Ran gone = TestSupport::RunProcess(Exe("orvane-exec"), {"Ver"}, noSession);
        QVERIFY2(gone.code == 1 && gone.err.contains("cannot be used: is the program still running"), qPrintable(gone.err));

        // A name nobody owns on a bus that can start nothing.
        TestSupport::PrivateBus empty;
        QVERIFY(empty.Start());
        QProcess q;
        q.setProcessEnvironment(empty.Environment());
        q.start(Exe("orvane-exec"), {"Ver"});
        QVERIFY(q.waitForFinished(20000));
        QCOMPARE(q.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(q.readAllStandardError()).section(':', 1, 1).trimmed(),
                 QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"));
    }

    void pythonClient()
    {
        const QString py = Python();
        if (py.isEmpty())
            QSKIP("no Python with the dbus module here");
        const int before = LEDMain::AutomationObjects();
        const QString script = QStringLiteral(
            "import dbus\n"
            "bus = dbus.SessionBus()\n"
            "app = bus.get_object('Orvane.OrvaneCmd', '/OrvaneCmd')\n"
            "print(app.Exec('Ver', dbus_interface='Orvane._OrvaneCmd', timeout=2147483.647))\n"
            "path = app.CreateInstance(dbus_interface='Orvane.ClassFactory')\n"
            "obj = bus.get_object('Orvane.OrvaneCmd', path)\n"
            "print(obj.Get('Orvane._OrvaneCmd', 'OrvaneCmd', dbus_interface='org.freedesktop.DBus.Properties') == path)\n"
            "print(obj.Exec('Bogus', dbus_interface='Orvane._OrvaneCmd'))\n"
            "obj.Release(dbus_interface='Orvane.Instance')\n"
            "try:\n"
            "    obj.Exec('Ver', dbus_interface='Orvane._OrvaneCmd')\n"
            "except dbus.DBusException as e:\n"
            "    print(e.get_dbus_name())\n");
        const Ran ran = Run(py, {"-c", script});
        QVERIFY2(ran.finished && ran.code == 0, qPrintable(ran.err));
        QCOMPARE(ran.out, QStringLiteral("1.0 ; \nTrue\nError Unknown command ; \n") + kUnknownObject + "\n");
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), before, 10000);
    }

    void onlyEditorsLeftGiveUpTheNameAndTheLock()
    {
        AllClientsLeave();
        QTemporaryDir app;
        QVERIFY(LEDMain::TakeInstanceLock(app.path()));
        LEDCOMM::CommFormLoad();  // a serial host whose port never opened
        frmVURUruduvo* form = frmVURUruduvo::Load();
        QPointer<frmEditor> editor = frmEditor::OpenText("log");
        QDBusConnection c = NewClient();
        QVERIFY(c.interface()->isServiceRegistered(kService).value());
        form->close();  // no client object lives: the shut-down runs
        QCOMPARE(LEDCOMM::CommFormLoaded(), int16_t(0));
        QVERIFY(!LEDMain::HoldsInstanceLock());
        QTRY_VERIFY_WITH_TIMEOUT(!c.interface()->isServiceRegistered(kService).value(), 5000);
        QVERIFY(editor);
        QVERIFY(quits_.isEmpty());  // the editor still keeps the process
        editor->close();
        QTRY_VERIFY(!quits_.isEmpty());
        // The service again, for the last case.
        OrvaneCmd::StopService();
        QVERIFY(OrvaneCmd::StartService());
    }

    // Last: the bus dies under the service.
    void busGoingAwayDropsEveryObject()
    {
        QDBusConnection a = NewClient();
        QDBusConnection b = NewClient();
        QCOMPARE(Exec(a, kRoot, "Ver"), QStringLiteral("1.0 ; "));
        QVERIFY(!Create(b).isEmpty());
        QVERIFY(LEDMain::AutomationObjects() >= 2);
        quits_.clear();
        bus_.Stop();
        QTRY_COMPARE_WITH_TIMEOUT(LEDMain::AutomationObjects(), 0, 10000);
        // No window here: nothing holds the process any more.
        QTRY_VERIFY(!quits_.isEmpty());
    }
};

ORVANE_TEST_MAIN(TestDBus)
#include "test_dbus.moc"
