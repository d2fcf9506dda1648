#include "engine/StartOptions.h"

#include "base/Log.h"
#include "base/OutsideText.h"
#include "base/OptionsHelp.h"
#include "base/Platform.h"
#include "comm/SerialDevices.h"
#include "comm/UdevRule.h"
#include "engine/LEDMain.h"
#include "engine/OrvaneCmd.h"
#include "engine/Service.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

namespace StartOptions {
namespace {

// Qt's own options: known here so that they are no unknown options, and left
// in place for QApplication. Those that take a value, then those that do not.
const char* const kQtValued[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                 "qwindowgeometry", "qwindowtitle", "qwindowicon", "geometry",
                                 "title", "icon", "session", "display", "style", "stylesheet",
                                 "qmljsdebugger"};
const char* const kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

struct Known {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("print this and exit")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("print the version and exit")};
    QCommandLineOption automation{QStringLiteral("automation"),
                                  QStringLiteral("start as the bus starts it: the window stays hidden")};
    QCommandLineOption service{QStringLiteral("service"),
                               QStringLiteral("serve D-Bus and MQTT headless until a stop signal (a systemd unit)")};
    QCommandLineOption regServer{QStringLiteral("regserver"),
                                 QStringLiteral("let the session bus start this executable, and exit")};
    QCommandLineOption unregServer{QStringLiteral("unregserver"),
                                   QStringLiteral("undo --regserver, and exit")};
    QCommandLineOption appDir{QStringLiteral("app-dir"),
                              QStringLiteral("the application directory (settings, port links)"),
                              QStringLiteral("DIR")};
    QCommandLineOption listPorts{QStringLiteral("list-ports"),
                                 QStringLiteral("list the serial devices and the port links, and exit")};
    QCommandLineOption linkPort{QStringLiteral("link-port"),
                                QStringLiteral("make port N reach DEVICE, and exit"),
                                QStringLiteral("N DEVICE")};
    QCommandLineOption udevRule{QStringLiteral("udev-rule"),
                                QStringLiteral("print a udev rule for the USB adapter of port PORT (else the "
                                               "configured one), and exit")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("write the program's diagnostics, with times, to standard error")};

    QList<QCommandLineOption> Listed() const
    {
        return {automation, service, regServer, unregServer, appDir, listPorts, linkPort, udevRule, verbose, help, version};
    }
};

} // namespace

Request Parse(const QStringList& arguments, Values& values, QString* error)
{
    const Known k;
    QCommandLineParser parser;
    // Qt's options are single-dash words (-platform); ours are understood either way.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(k.Listed());
    for (const char* name : kQtValued) {
        QCommandLineOption o(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
    for (const char* name : kQtFlags) {
        QCommandLineOption o(QString::fromLatin1(name));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return Request::UsageError;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(k.help))
        return Request::Help;
    if (parser.isSet(k.version))
        return Request::Version;

    QStringList rest = parser.positionalArguments();
    values = Values();
    values.automation = parser.isSet(k.automation);
    values.service = parser.isSet(k.service);
    if (parser.isSet(k.regServer) && parser.isSet(k.unregServer))
        return fail(QStringLiteral("--regserver and --unregserver exclude each other"));
    values.regServer = parser.isSet(k.regServer) ? 1 : parser.isSet(k.unregServer) ? -1 : 0;
    values.appDir = parser.value(k.appDir);
    values.listPorts = parser.isSet(k.listPorts);
    values.verbose = parser.isSet(k.verbose);
    if (parser.isSet(k.linkPort)) {
        // The device is the option's second value, which the parser leaves among the arguments.
        if (rest.isEmpty())
            return fail(QStringLiteral("--link-port needs a port number and a device"));
        values.linkPort = parser.value(k.linkPort);
        values.linkDevice = rest.takeFirst();
    }
    // Its port is optional, so it is a flag followed by an argument.
    values.udevRule = parser.isSet(k.udevRule);
    if (values.udevRule && !rest.isEmpty())
        values.udevPort = rest.takeFirst();
    if (!rest.isEmpty())
        return fail(QStringLiteral("Unexpected argument '%1'.").arg(rest.first()));
    return Request::Start;
}

QString Usage()
{
    return QStringLiteral("usage: orvane [options] [Qt options such as -platform offscreen]\n"
                          "Drives a four-channel LED controller on a serial port.\n\n")
        + OptionsHelp::Text(Known().Listed(), {{QStringLiteral("udev-rule"), QStringLiteral("[PORT]")}});
}

QString Version() { return QStringLiteral("orvane " ORVANE_VERSION); }

void BeVerbose()
{
    Log::EnableTraces();
    // The time in front, so traces and warnings can be told apart in time (the journal keeps its own).
    Log::SetUp(true);
}

bool IsTask(const Values& values)
{
    return values.regServer != 0 || values.listPorts || !values.linkPort.isEmpty() || values.udevRule;
}

int RunTask(const Values& values, int argc, char** argv)
{
    QCoreApplication core(argc, argv);
    QString why;
    const QString dir = LEDMain::ChooseAppDir(values.appDir, &why);
    if (dir.isEmpty()) {
        Log::Say(why);
        return Service::kFailed;
    }
    Platform::App().Path = dir;
    // The settings there may name the controller, and with it the bus name.
    if (values.regServer != 0)
        return OrvaneCmd::RegServer(values.regServer > 0, !values.appDir.isEmpty()
                                                              || !qEnvironmentVariableIsEmpty("ORVANE_APP_DIR"));
    if (values.listPorts) {
        QTextStream out(stdout);
        SerialDevices::PrintList(out, dir);
        return Service::kEnded;
    }
    if (values.udevRule) {
        QTextStream out(stdout);
        if (UdevRule::Print(out, dir, values.udevPort, &why) == 0)
            return Service::kEnded;
        Log::Say(why);
        return Service::kFailed;
    }
    bool ok = false;
    const int port = values.linkPort.toInt(&ok);
    const QString error = ok ? SerialDevices::LinkPort(dir, port, values.linkDevice,
                                                       QStringLiteral("`orvane --list-ports` lists the serial devices"))
                             : QStringLiteral("port %1 is not a number from 1 to 32767").arg(values.linkPort);
    if (!error.isEmpty()) {
        Log::Say(error);
        return Service::kFailed;
    }
    const QString entry = QDir(dir).filePath(QStringLiteral("COM") + QString::number(port));
    QTextStream(stdout) << OutsideText::For(OutsideText::Target::Terminal, entry + QStringLiteral(" -> ") + QFileInfo(entry).symLinkTarget())
                        << Qt::endl;
    return Service::kEnded;
}

} // namespace StartOptions
