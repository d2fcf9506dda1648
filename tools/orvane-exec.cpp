// orvane-exec: runs command scripts in Orvane over the D-Bus session bus or
// an MQTT broker, and lists the controllers there.
//
//   orvane-exec 'LED R 100;Ver'   runs the script, prints the responses
//   orvane-exec -                 runs each line of standard input as a script
//                                 on one object, one response line each
//   orvane-exec -f FILE           the same with the lines of FILE
//   orvane-exec --name NAME ...   the program whose settings say NAME
//                                 (it serves as Orvane.OrvaneCmd.NAME); given
//                                 more than once, each runs the script at the
//                                 same time and answers as "NAME: responses"
//   orvane-exec --broker HOST ... the same over the broker (ORVANE_BROKER)
//   orvane-exec --list [--json]   the controllers on the bus or the broker
//
// A program that is not running is started by the bus when its activation
// file is installed (orvane --regserver, or an installed program's). The exit
// statuses are Exec::Status (ExecRoads.h); messages go to standard error.
#include "base/AppPaths.h"
#include "base/Channels.h"
#include "base/OptionsHelp.h"
#include "base/Posix.h"
#include "base/ControllerName.h"
#include "dbus/BusNames.h"
#include "mqtt/LoginFiles.h"
#include "mqtt/Topics.h"
#include "orvanecmdinterface.h"
#include "tools/ExecRoads.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QTextStream>
#include <algorithm>
#include <climits>
#include <memory>
#include <vector>
#include <unistd.h>

namespace {

using BusNames::kRoot;
using namespace Exec;

// A script runs as long as its exchanges with the controller take; a call
// time-out would give up on it while the program carries on. INT_MAX is the
// bus library's "no time-out".
constexpr int kNoTimeout = INT_MAX;
// A program busy with a script answers a look at its levels only afterwards.
constexpr int kListWaitMs = 5000;

int Fail(const QDBusError& error, const QString& name = QString())
{
    Say((name.isEmpty() ? QString() : name + QStringLiteral(": ")) + error.name() + QStringLiteral(": ")
        + error.message());
    return kFailed;
}

// Where the user has no session bus (an ssh shell), the program may run on a bus
// of its own that left its address in the application directory. The session
// bus, where there is one, always comes first. Returns the file taken, or empty.
QString TakeProgramsOwnBus()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return {};
    // The bus library finds the session bus here without the variable.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists())
        return {};
    const QString path = AppPaths::DefaultAppDir(QCoreApplication::applicationDirPath()) + QLatin1Char('/')
                         + QLatin1String(AppPaths::kPrivateBusFile);
    const Posix::SmallFile file = Posix::ReadSmallFile(path, 4096);
    const QByteArray address = file.bytes.trimmed();
    static const QRegularExpression plain(QStringLiteral("^unix:[\\x21-\\x7e]+$"));
    if (!file.ok || !plain.match(QString::fromLatin1(address)).hasMatch())
        return {};
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    return path;
}

template <class Proxy>
void NoTimeout(Proxy& proxy)
{
    proxy.setTimeout(kNoTimeout);
}

struct Known {
    QCommandLineOption file{QStringLiteral("f"),
                            QStringLiteral("run each line of FILE as a script, as - does"),
                            QStringLiteral("FILE")};
    QCommandLineOption name{QStringLiteral("name"),
                            QStringLiteral("the program whose settings say NAME; again for more programs at once"),
                            QStringLiteral("NAME")};
    QCommandLineOption broker{QStringLiteral("broker"),
                              QStringLiteral("over this MQTT broker, not the bus (default: $ORVANE_BROKER)"),
                              QStringLiteral("HOST[:PORT]")};
    QCommandLineOption caFile{QStringLiteral("cafile"),
                              QStringLiteral("TLS to the broker, whose certificate FILE's CAs vouch for (port %1)")
                                  .arg(Mqtt::kTlsPort),
                              QStringLiteral("FILE")};
    QCommandLineOption user{QStringLiteral("user"), QStringLiteral("log in to the broker as NAME"),
                            QStringLiteral("NAME")};
    QCommandLineOption passwordFile{QStringLiteral("password-file"),
                                    QStringLiteral("with the password on FILE's first line (mode 600)"),
                                    QStringLiteral("FILE")};
    QCommandLineOption protocol{QStringLiteral("protocol"),
                                QStringLiteral("the MQTT version: auto (5, or 3.1.1 when the broker refuses 5), 5 "
                                               "or 3.1.1 (default auto)"),
                                QStringLiteral("VERSION")};
    QCommandLineOption list{QStringLiteral("list"), QStringLiteral("list the controllers, online or not, and their levels")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("with --list: as a JSON array")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("print this and exit")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("print the version and exit")};

    QList<QCommandLineOption> Listed() const
    {
        return {file, name, broker, caFile, user, passwordFile, protocol, list, json, help, version};
    }
};

QString Usage()
{
    return QStringLiteral("usage: orvane-exec [--name NAME]... SCRIPT   run a script, e.g. 'LED R 100;Ver'\n"
                          "       orvane-exec [--name NAME]... -        run each line of standard input\n"
                          "       orvane-exec [--name NAME]... -f FILE  run each line of FILE\n"
                          "       orvane-exec --list [--json]           list the controllers\n"
                          "Over the session bus, or with --broker over an MQTT broker.\n\n")
        + OptionsHelp::Text(Known().Listed())
        + QStringLiteral("\nexit status:\n"
                         "  %1  every script answered (or the list printed)\n"
                         "  %2  a D-Bus error, or a file that cannot be read\n"
                         "  %3  a usage error\n"
                         "  %4  the broker not reached, refused the log-in, or went away\n"
                         "  %5  a NAME whose program is not online on the broker\n"
                         "  %6  a program that went offline before it answered\n")
              .arg(kServed)
              .arg(kFailed)
              .arg(kUsage)
              .arg(kNoBroker)
              .arg(kNotOnline)
              .arg(kWentOffline);
}

int UsageError(const QString& why)
{
    QTextStream(stderr) << "orvane-exec: " << why << "\n\n" << Usage();
    return kUsage;
}

// One program on the bus and the object its scripts run on.
struct Target {
    QString name;
    QString service;
    QString path = kRoot;
    int status = kServed;
};

// Runs each script on every target at once and prints the answers in order.
// A target that failed takes no further scripts.
void RunOnEach(QList<Target>& targets, const QString& script, const QDBusConnection& bus)
{
    // Each proxy lives until its reply is in, as QtDBus expects.
    std::vector<std::unique_ptr<Orvane::_OrvaneCmd>> proxies;
    QList<std::optional<QDBusPendingReply<QString>>> pending;
    for (const Target& t : std::as_const(targets)) {
        pending << std::nullopt;
        if (t.status != kServed)
            continue;
        proxies.push_back(std::make_unique<Orvane::_OrvaneCmd>(t.service, t.path, bus));
        NoTimeout(*proxies.back());
        pending.last() = proxies.back()->Exec(script);
    }
    QStringList names;
    QList<std::optional<QString>> answers;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        names << targets[i].name;
        answers << std::optional<QString>();
        if (!pending[i])
            continue;
        pending[i]->waitForFinished();
        if (pending[i]->isError()) {
            targets[i].status = Fail(pending[i]->error(), targets.size() > 1 ? targets[i].name : QString());
            continue;
        }
        answers.last() = pending[i]->value();
    }
    PrintAnswers(names, answers);
}

int FirstFailure(const QList<Target>& targets)
{
    for (const Target& t : targets)
        if (t.status != kServed)
            return t.status;
    return kServed;
}

// Runs each line of `in` as a script on one object of its own per target.
int RunLines(QTextStream& in, QList<Target>& targets, const QDBusConnection& bus)
{
    std::vector<std::unique_ptr<Orvane::ClassFactory>> factories;
    QList<QDBusPendingReply<QDBusObjectPath>> made;
    for (const Target& t : std::as_const(targets)) {
        factories.push_back(std::make_unique<Orvane::ClassFactory>(t.service, kRoot, bus));
        NoTimeout(*factories.back());
        made << factories.back()->CreateInstance();
    }
    for (qsizetype i = 0; i < targets.size(); ++i) {
        made[i].waitForFinished();
        if (made[i].isError())
            targets[i].status = Fail(made[i].error(), targets.size() > 1 ? targets[i].name : QString());
        else
            targets[i].path = made[i].value().path();
    }
    auto anyLive = [&] {
        return std::any_of(targets.cbegin(), targets.cend(), [](const Target& t) { return t.status == kServed; });
    };
    QString line;
    while (anyLive() && in.readLineInto(&line))
        RunOnEach(targets, line, bus);

    for (Target& t : targets) {
        if (t.path == kRoot)
            continue;
        Orvane::Instance instance(t.service, t.path, bus);
        NoTimeout(instance);
        QDBusPendingReply<> released = instance.Release();
        released.waitForFinished();
        if (released.isError() && t.status == kServed)
            t.status = Fail(released.error(), targets.size() > 1 ? t.name : QString());
    }
    return FirstFailure(targets);
}

// Every program that owns Orvane.OrvaneCmd or Orvane.OrvaneCmd.<NAME>, once
// each, with the levels its application object says.
int ListOnBus(const QDBusConnection& bus, bool json)
{
    QDBusConnectionInterface* daemon = bus.interface();
    const QDBusReply<QStringList> names = daemon->registeredServiceNames();
    if (!names.isValid())
        return Fail(names.error());
    // By owner: a program with a NAME owns the plain name too when it was free.
    QMap<QString, QString> byOwner;
    const QString prefix = BusNames::kService + QLatin1Char('.');
    for (const QString& n : names.value()) {
        const bool plain = n == BusNames::kService;
        if (!plain && !(n.startsWith(prefix) && ControllerName::IsValid(QStringView(n).mid(prefix.size()))))
            continue;
        const QDBusReply<QString> owner = daemon->serviceOwner(n);
        if (!owner.isValid())
            continue;  // gone meanwhile
        QString& name = byOwner[owner.value()];
        if (!plain)
            name = n.mid(prefix.size());
    }
    QList<QPair<QString, QDBusPendingCall>> asked;
    for (auto it = byOwner.constBegin(); it != byOwner.constEnd(); ++it) {
        QDBusMessage get = QDBusMessage::createMethodCall(it.key(), kRoot, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << BusNames::kCmdInterface << QStringLiteral("Levels");
        asked.append({it.value(), bus.asyncCall(get, kListWaitMs)});
    }
    QList<Exec::Listed> list;
    for (auto& [name, call] : asked) {
        call.waitForFinished();
        Exec::Listed c{name, QStringLiteral("bus"), true, std::nullopt};
        const QDBusMessage reply = call.reply();
        if (reply.type() == QDBusMessage::ReplyMessage) {
            const QList<int> v = qdbus_cast<QList<int>>(qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant());
            if (v.size() == Channels::kCount) {
                c.levels.emplace();
                std::copy(v.begin(), v.end(), c.levels->begin());
            }
        }
        list << c;
    }
    PrintList(list, json);
    return kServed;
}

// HOST, HOST:PORT, [ADDRESS]:PORT; an address with colons and no brackets
// has no port. False when the port is no number from 1 to 65535.
bool SplitBroker(const QString& text, Mqtt::Settings& s)
{
    QString host = text;
    QString port;
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        port = host.mid(close + 1);
        host = host.mid(1, close - 1);
        if (!port.isEmpty() && !port.startsWith(QLatin1Char(':')))
            return false;
        port = port.mid(1);
    } else if (host.count(QLatin1Char(':')) == 1) {
        port = host.section(QLatin1Char(':'), 1);
        host = host.section(QLatin1Char(':'), 0, 0);
    }
    s.host = host;
    if (host.isEmpty())
        return false;
    if (port.isEmpty())
        return true;
    bool ok = false;
    s.port = port.toInt(&ok);
    return ok && s.port >= 1 && s.port <= 65535;
}

} // namespace

int main(int argc, char** argv)
{
    // Parsed before the application object, which --help and --version do not need.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QFile::decodeName(argv[i]);
    const Known k;
    QCommandLineParser parser;
    parser.addOptions(k.Listed());
    if (!parser.parse(arguments))
        return UsageError(parser.errorText());
    if (parser.isSet(k.help)) {
        QTextStream(stdout) << Usage();
        return 0;
    }
    if (parser.isSet(k.version)) {
        QTextStream(stdout) << "orvane-exec " ORVANE_VERSION << Qt::endl;
        return 0;
    }
    const QStringList rest = parser.positionalArguments();
    const bool fromFile = parser.isSet(k.file);
    const bool list = parser.isSet(k.list);
    const QStringList names = parser.values(k.name);
    if (list && (fromFile || !rest.isEmpty() || !names.isEmpty()))
        return UsageError(QStringLiteral("--list takes no script and no --name"));
    if (parser.isSet(k.json) && !list)
        return UsageError(QStringLiteral("--json goes with --list"));
    if (!list && (fromFile ? !rest.isEmpty() : rest.size() != 1))
        return UsageError(fromFile ? QStringLiteral("-f FILE takes no script besides")
                                   : rest.isEmpty() ? QStringLiteral("no script given")
                                                    : QStringLiteral("one script at a time (quote it)"));
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (!ControllerName::IsValid(names[i]))
            return UsageError(QStringLiteral("\"%1\" is no controller name: %2").arg(names[i], ControllerName::Rule()));
        if (names.indexOf(names[i]) != i)
            return UsageError(QStringLiteral("--name %1 is given twice").arg(names[i]));
    }
    QString brokerText = parser.value(k.broker);
    if (!parser.isSet(k.broker))
        brokerText = qEnvironmentVariable("ORVANE_BROKER").trimmed();
    const bool overBroker = !brokerText.isEmpty();
    if (!overBroker
        && (parser.isSet(k.caFile) || parser.isSet(k.user) || parser.isSet(k.passwordFile) || parser.isSet(k.protocol)))
        return UsageError(QStringLiteral("--cafile, --user, --password-file and --protocol go with --broker"));
    Mqtt::Settings settings;
    if (overBroker) {
        settings.caFile = parser.value(k.caFile);
        settings.caFileSource = QStringLiteral("--cafile");
        settings.port = Mqtt::DefaultPort(!settings.caFile.isEmpty());
        if (!SplitBroker(brokerText, settings))
            return UsageError(QStringLiteral("\"%1\" is no broker: HOST or HOST:PORT, a port from 1 to 65535")
                                  .arg(brokerText));
        if (parser.isSet(k.protocol)) {
            const std::optional<Mqtt::Protocol> protocol = Mqtt::ParseProtocol(parser.value(k.protocol));
            if (!protocol)
                return UsageError(QStringLiteral("\"%1\" is no MQTT version: auto, 5 or 3.1.1").arg(parser.value(k.protocol)));
            settings.protocol = *protocol;
        }
        settings.user = parser.value(k.user);
        if (parser.isSet(k.passwordFile)) {
            if (settings.user.isEmpty())
                return UsageError(QStringLiteral("--password-file needs --user"));
            const QString path = parser.value(k.passwordFile);
            if (const QString why = Mqtt::ReadPasswordFile(path, settings.password); !why.isEmpty()) {
                Say(QStringLiteral("--password-file names %1, %2").arg(path, why));
                return kFailed;
            }
        }
        if (!settings.caFile.isEmpty()) {
            if (const QString why = Mqtt::ReadCaFile(settings.caFile, settings.caPem); !why.isEmpty()) {
                Say(QStringLiteral("--cafile names %1, %2").arg(settings.caFile, why));
                return kFailed;
            }
        }
    }

    QCoreApplication app(argc, argv);
    QFile file;
    if (fromFile) {
        file.setFileName(parser.value(k.file));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            Say(file.fileName() + QStringLiteral(": ") + file.errorString());
            return kFailed;
        }
    }

    if (overBroker) {
        if (list)
            return ListOnBroker(settings, parser.isSet(k.json));
        // A program without NAME is "orvane" on the broker.
        const QStringList topicNames = names.isEmpty() ? QStringList{QString::fromLatin1(Topics::kNoName)} : names;
        std::unique_ptr<Lines> lines = fromFile ? std::make_unique<Lines>(file.handle())
                                       : rest[0] == QLatin1String("-") ? std::make_unique<Lines>(STDIN_FILENO)
                                                                      : std::make_unique<Lines>(rest[0]);
        return RunOnBroker(settings, topicNames, *lines);
    }

    const QString ownBus = TakeProgramsOwnBus();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        Fail(bus.lastError());
        Say(ownBus.isEmpty()
                ? QStringLiteral("no D-Bus session bus here: start the program with ./run.sh (it brings a bus of "
                                 "its own), under dbus-run-session, or reach it with --broker")
                : QStringLiteral("the bus that %1 names cannot be used: is the program still running, as this user?").arg(ownBus));
        return kFailed;
    }
    if (list)
        return ListOnBus(bus, parser.isSet(k.json));

    QList<Target> targets;
    for (const QString& n : names.isEmpty() ? QStringList{QString()} : names)
        targets.append({n, BusNames::ServiceFor(n)});
    if (fromFile) {
        QTextStream in(&file);
        return RunLines(in, targets, bus);
    }
    if (rest[0] == QLatin1String("-")) {
        QTextStream in(stdin);
        return RunLines(in, targets, bus);
    }
    // The application object: no object to create or release first.
    RunOnEach(targets, rest[0], bus);
    return FirstFailure(targets);
}
