#pragma once
// A session bus of the test's own: a dbus-daemon with its socket and (when
// given) its activation directory in a temporary directory, so tests neither
// need nor touch a bus of the machine. Killing it is how a test makes the bus
// go away under a program.
#include "dbus/BusNames.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>
#include <climits>

namespace TestSupport {

// Calls a method of the program's service (Orvane.OrvaneCmd) and waits with
// the event loop running, so this process may serve the call itself. No call
// time-out, as a script may run long; an invalid message when no reply came
// within 20 seconds.
inline QDBusMessage Call(const QDBusConnection& client, const QString& path, const QString& interface,
                         const QString& member, const QVariantList& args = {})
{
    QDBusMessage m = QDBusMessage::createMethodCall(BusNames::kService, path, interface, member);
    m.setArguments(args);
    QDBusPendingCall pending = client.asyncCall(m, INT_MAX);
    if (!QTest::qWaitFor([&] { return pending.isFinished(); }, 20000))
        return QDBusMessage();
    return pending.reply();
}

class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus() { Stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the daemon. Programs it starts for activation get env (the
    // daemon passes its own environment on). False, with a warning, on failure.
    bool Start(const QString& serviceDir = QString(),
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        if (!dir_.isValid()) {
            qWarning("PrivateBus: no temporary directory");
            return false;
        }
        QString config = QStringLiteral(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <keep_umask/>\n"
            "  <listen>unix:dir=%1</listen>\n").arg(dir_.path());
        if (!serviceDir.isEmpty())
            config += QStringLiteral("  <servicedir>%1</servicedir>\n").arg(serviceDir);
        config += QStringLiteral(
            "  <policy context=\"default\">\n"
            "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
            "    <allow eavesdrop=\"true\"/>\n"
            "    <allow own=\"*\"/>\n"
            "  </policy>\n"
            "</busconfig>\n");
        const QString configPath = dir_.filePath(QStringLiteral("bus.conf"));
        QFile f(configPath);
        if (!f.open(QIODevice::WriteOnly) || f.write(config.toUtf8()) < 0) {
            qWarning("PrivateBus: cannot write %s", qPrintable(configPath));
            return false;
        }
        f.close();

        daemon_.setProcessEnvironment(env);
        daemon_.setProcessChannelMode(QProcess::SeparateChannels);
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
        if (!daemon_.waitForStarted(5000)) {
            qWarning("PrivateBus: dbus-daemon did not start: %s", qPrintable(daemon_.errorString()));
            return false;
        }
        while (!daemon_.canReadLine()) {
            if (!daemon_.waitForReadyRead(5000)) {
                qWarning("PrivateBus: dbus-daemon printed no address: %s",
                         daemon_.readAllStandardError().constData());
                Stop();
                return false;
            }
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        return !address_.isEmpty();
    }

    // Kills the daemon, as a crash of the bus would.
    void Stop()
    {
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.kill();
            daemon_.waitForFinished(5000);
        }
    }

    QString Address() const { return address_; }
    // The daemon's process, for a test that stops it answering (SIGSTOP).
    qint64 Pid() const { return daemon_.processId(); }
    QString Path() const { return dir_.path(); }

    // An environment whose session bus is this one.
    QProcessEnvironment Environment(QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) const
    {
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address_);
        return env;
    }

private:
    QTemporaryDir dir_{QDir::tempPath() + QStringLiteral("/orvane-bus-XXXXXX")};
    QProcess daemon_;
    QString address_;
};

} // namespace TestSupport
