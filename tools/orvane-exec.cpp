// orvane-exec: runs command scripts in Orvane over the D-Bus session bus.
//
//   orvane-exec 'LED R 100;Ver'   runs the script, prints the responses
//   orvane-exec -                 runs each line of standard input as a script
//                                 on one object, one response line each
//   orvane-exec --name NAME ...   the program whose settings say NAME
//
// A program that is not running is started by the bus when its activation
// file is installed (orvane --regserver). D-Bus errors go to standard error
// and the exit code is 1; a usage error gives 2.
#include "dbus/BusNames.h"
#include "orvanecmdinterface.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTextStream>
#include <climits>

namespace {

using BusNames::kRoot;

// A script runs as long as its exchanges with the controller take; a call
// time-out would give up on it while the program carries on. INT_MAX is the
// bus library's "no time-out".
constexpr int kNoTimeout = INT_MAX;

int Fail(const QDBusError& error)
{
    QTextStream(stderr) << "orvane-exec: " << error.name() << ": " << error.message() << Qt::endl;
    return 1;
}

template <class Proxy>
void NoTimeout(Proxy& proxy)
{
    proxy.setTimeout(kNoTimeout);
}

int Usage(bool asked)
{
    QTextStream(asked ? stdout : stderr)
        << "usage: orvane-exec [--name NAME] SCRIPT   run one script, e.g. 'LED R 100;Ver'\n"
           "       orvane-exec [--name NAME] -        run each line of standard input as a script\n"
           "       --name NAME   the program serving as Orvane.OrvaneCmd.NAME\n";
    return asked ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() == 1 && (args[0] == QLatin1String("-h") || args[0] == QLatin1String("--help")))
        return Usage(true);
    QString name;
    if (args.size() == 3 && args[0] == QLatin1String("--name")) {
        name = args[1];
        args = args.mid(2);
        if (!BusNames::IsControllerName(name)) {
            QTextStream(stderr) << "orvane-exec: \"" << name
                                << "\" is no controller name: letters, digits and underscores, not starting "
                                   "with a digit, at most 200\n";
            return 2;
        }
    }
    if (args.size() != 1)
        return Usage(false);
    const QString service = BusNames::ServiceFor(name);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Fail(bus.lastError());
    QTextStream out(stdout);

    if (args[0] != QLatin1String("-")) {
        // The application object: no object to create or release first.
        Orvane::_OrvaneCmd cmd(service, kRoot, bus);
        NoTimeout(cmd);
        QDBusPendingReply<QString> reply = cmd.Exec(args[0]);
        reply.waitForFinished();
        if (reply.isError())
            return Fail(reply.error());
        out << reply.value() << Qt::endl;
        return 0;
    }

    Orvane::ClassFactory factory(service, kRoot, bus);
    NoTimeout(factory);
    QDBusPendingReply<QDBusObjectPath> made = factory.CreateInstance();
    made.waitForFinished();
    if (made.isError())
        return Fail(made.error());
    const QString path = made.value().path();

    Orvane::_OrvaneCmd cmd(service, path, bus);
    NoTimeout(cmd);
    QTextStream in(stdin);
    QString line;
    int code = 0;
    while (in.readLineInto(&line)) {
        QDBusPendingReply<QString> reply = cmd.Exec(line);
        reply.waitForFinished();
        if (reply.isError()) {
            code = Fail(reply.error());
            break;
        }
        out << reply.value() << Qt::endl;
    }

    Orvane::Instance instance(service, path, bus);
    NoTimeout(instance);
    QDBusPendingReply<> released = instance.Release();
    released.waitForFinished();
    if (released.isError() && code == 0)
        code = Fail(released.error());
    return code;
}
