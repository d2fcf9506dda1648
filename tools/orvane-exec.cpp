// orvane-exec: runs command scripts in Orvane over the D-Bus session bus.
//
//   orvane-exec 'LED R 100;Ver'   runs the script, prints the responses
//   orvane-exec -                 runs each line of standard input as a script
//                                 on one object, one response line each
//   orvane-exec -f FILE           the same with the lines of FILE
//   orvane-exec --name NAME ...   the program whose settings say NAME
//                                 (it serves as Orvane.OrvaneCmd.NAME)
//
// A program that is not running is started by the bus when its activation
// file is installed (orvane --regserver, or an installed program's). D-Bus
// errors and a file that cannot be read go to standard error and the exit code
// is 1; a usage error gives 2.
#include "base/OptionsHelp.h"
#include "base/ControllerName.h"
#include "dbus/BusNames.h"
#include "orvanecmdinterface.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
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

struct Known {
    QCommandLineOption file{QStringLiteral("f"),
                            QStringLiteral("run each line of FILE as a script, as - does"),
                            QStringLiteral("FILE")};
    QCommandLineOption name{QStringLiteral("name"),
                            QStringLiteral("the program whose settings say NAME (Orvane.OrvaneCmd.NAME)"),
                            QStringLiteral("NAME")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("print this and exit")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("print the version and exit")};

    QList<QCommandLineOption> Listed() const { return {file, name, help, version}; }
};

QString Usage()
{
    return QStringLiteral("usage: orvane-exec [--name NAME] SCRIPT   run one script, e.g. 'LED R 100;Ver'\n"
                          "       orvane-exec [--name NAME] -        run each line of standard input as a script\n"
                          "       orvane-exec [--name NAME] -f FILE  run each line of FILE as a script\n\n")
        + OptionsHelp::Text(Known().Listed());
}

int UsageError(const QString& why)
{
    QTextStream(stderr) << "orvane-exec: " << why << "\n\n" << Usage();
    return 2;
}

// Runs each line of `in` as a script on one object of its own.
int RunLines(QTextStream& in, const QString& service, const QDBusConnection& bus)
{
    QTextStream out(stdout);
    Orvane::ClassFactory factory(service, kRoot, bus);
    NoTimeout(factory);
    QDBusPendingReply<QDBusObjectPath> made = factory.CreateInstance();
    made.waitForFinished();
    if (made.isError())
        return Fail(made.error());
    const QString path = made.value().path();

    Orvane::_OrvaneCmd cmd(service, path, bus);
    NoTimeout(cmd);
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
    if (fromFile ? !rest.isEmpty() : rest.size() != 1)
        return UsageError(fromFile ? QStringLiteral("-f FILE takes no script besides")
                                   : rest.isEmpty() ? QStringLiteral("no script given")
                                                    : QStringLiteral("one script at a time (quote it)"));
    const QString name = parser.value(k.name);
    if (parser.isSet(k.name) && !ControllerName::IsValid(name))
        return UsageError(QStringLiteral("\"%1\" is no controller name: %2").arg(name, ControllerName::Rule()));
    const QString service = BusNames::ServiceFor(name);

    QCoreApplication app(argc, argv);
    QFile file;
    if (fromFile) {
        file.setFileName(parser.value(k.file));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            QTextStream(stderr) << "orvane-exec: " << file.fileName() << ": " << file.errorString() << Qt::endl;
            return 1;
        }
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Fail(bus.lastError());

    if (fromFile) {
        QTextStream in(&file);
        return RunLines(in, service, bus);
    }
    if (rest[0] == QLatin1String("-")) {
        QTextStream in(stdin);
        return RunLines(in, service, bus);
    }
    // The application object: no object to create or release first.
    Orvane::_OrvaneCmd cmd(service, kRoot, bus);
    NoTimeout(cmd);
    QDBusPendingReply<QString> reply = cmd.Exec(rest[0]);
    reply.waitForFinished();
    if (reply.isError())
        return Fail(reply.error());
    QTextStream(stdout) << reply.value() << Qt::endl;
    return 0;
}
