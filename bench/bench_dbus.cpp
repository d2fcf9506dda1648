// What an automation call costs over the bus's own round trip, and how fast a
// long script drives the controller.
//
// The program runs as an automation server (--automation, headless) on a bus
// of its own, against orvane-sim. 2,000 Exec("Ver") calls and 2,000
// org.freedesktop.DBus.Peer.Ping calls to the same program take turns, so
// both meet the same machine load; Ping is answered by the bus library
// without reaching the program's code, which makes it the floor of any call.
// Then one Exec of a script of 500 "LED" commands, each an exchange with the
// simulator, several times.
//
// Everything (this client, the bus, the program and the simulator) shares one
// CPU unless --spread is given: spread over several CPUs, a call's time
// depends on where the scheduler wakes each of the four processes, and the
// medians then say more about the scheduler than about the code.
#include "bench/BenchUtil.h"
#include "dbus/BusNames.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCalls = 2000;
constexpr int kWarmup = 200;
constexpr int kScriptCommands = 500;
constexpr int kScriptRuns = 11;
constexpr double kTarget = 1.5;

using BusNames::kService;

using Bench::Clock;
using Bench::Fail;
using Bench::Median;
using Bench::Micros;

// Every channel in turn, each at a value it does not have yet: a bar that is
// set to where it stands sends nothing.
int LedValue(int run, int i) { return 1 + (run * (kScriptCommands / 4) + i / 4) % 500; }

QString LedScript(int run)
{
    static const char* channels[] = {"R", "G", "B", "A"};
    QStringList commands;
    for (int i = 0; i < kScriptCommands; ++i)
        commands << QStringLiteral("LED %1 %2").arg(QLatin1String(channels[i % 4])).arg(LedValue(run, i));
    return commands.join(QLatin1Char(';'));
}

// What the controller must have received for the script.
QStringList ChannelCommands(int run)
{
    QStringList lines;
    for (int i = 0; i < kScriptCommands; ++i)
        lines << QStringLiteral("AV%1%2").arg(QChar('A' + i % 4)).arg(500 - LedValue(run, i), 3, 10, QChar('0'));
    return lines;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool spread = QCoreApplication::arguments().contains(QStringLiteral("--spread"));
    if (!spread) {
        // Before any process is started, so that all of them inherit it.
        if (!Bench::KeepToOneCpu())
            return Fail("cannot keep to one CPU; try --spread");
    }

    QTemporaryDir dir;
    if (!dir.isValid())
        return Fail("no temporary directory");
    const QString program = dir.filePath(QStringLiteral("orvane"));
    if (!TestSupport::PrepareProgramCopy(dir.path(), dir.path(), TestSupport::Config(1, 500)))
        return Fail("cannot copy the program", QStringLiteral(ORVANE_BIN_DIR "/orvane"));

    TestSupport::SimProcess sim;
    if (!sim.Start({QStringLiteral("--link"), dir.filePath(QStringLiteral("COM1")), QStringLiteral("--no-show")}))
        return Fail("orvane-sim did not start");

    QProcessEnvironment env = TestSupport::Headless();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    TestSupport::PrivateBus bus;
    if (!bus.Start(QString(), env))
        return Fail("no private bus");

    QProcess server;
    server.setProcessEnvironment(bus.Environment(env));
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(program, {QStringLiteral("--automation")});
    if (!server.waitForStarted(5000))
        return Fail("the program did not start", server.errorString());

    QDBusConnection client = QDBusConnection::connectToBus(bus.Address(), QStringLiteral("bench"));
    if (!client.isConnected())
        return Fail("cannot connect to the private bus", client.lastError().message());
    const QDeadlineTimer deadline(10000);
    while (!client.interface()->isServiceRegistered(kService).value()) {
        if (deadline.hasExpired() || server.state() != QProcess::Running)
            return Fail("the program did not take its bus name");
        QThread::msleep(20);
    }

    QDBusMessage exec = QDBusMessage::createMethodCall(kService, BusNames::kRoot,
                                                       BusNames::kCmdInterface, QStringLiteral("Exec"));
    exec.setArguments({QStringLiteral("Ver")});
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        kService, BusNames::kRoot, QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));

    auto timed = [&](const QDBusMessage& m, QDBusMessage* reply) {
        const auto t0 = Clock::now();
        *reply = client.call(m, QDBus::Block, INT_MAX);
        return Micros(Clock::now() - t0);
    };

    QDBusMessage reply;
    for (int i = 0; i < kWarmup; ++i) {
        timed(exec, &reply);
        timed(ping, &reply);
    }
    if (reply.type() != QDBusMessage::ReplyMessage)
        return Fail("Ping failed", reply.errorMessage());

    std::vector<double> execUs, pingUs;
    execUs.reserve(kCalls);
    pingUs.reserve(kCalls);
    for (int i = 0; i < kCalls; ++i) {
        execUs.push_back(timed(exec, &reply));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().value(0).toString() != QLatin1String("1.0 ; "))
            return Fail("Exec(\"Ver\") failed", reply.errorMessage());
        pingUs.push_back(timed(ping, &reply));
        if (reply.type() != QDBusMessage::ReplyMessage)
            return Fail("Ping failed", reply.errorMessage());
    }
    const double execMedian = Median(execUs);
    const double pingMedian = Median(pingUs);
    const double ratio = execMedian / pingMedian;

    std::printf("%s\n", spread ? "Client, bus, program and simulator spread over the CPUs"
                               : "Client, bus, program and simulator on one CPU");
    std::printf("Automation call against the bus's own round trip, %d calls each, taking turns\n", kCalls);
    std::printf("  Exec(\"Ver\")                      median %8.1f us\n", execMedian);
    std::printf("  org.freedesktop.DBus.Peer.Ping   median %8.1f us\n", pingMedian);
    std::printf("  ratio                                   %8.2f   (target <= %.1f: %s)\n", ratio, kTarget,
                ratio <= kTarget ? "met" : "NOT met");

    QDBusMessage script = exec;
    const QString expected = QStringLiteral("OK  ; ").repeated(kScriptCommands);
    std::vector<double> perSecond;
    for (int run = 0; run < kScriptRuns; ++run) {
        script.setArguments({LedScript(run)});
        const int logged = int(sim.LoggedLines().size());
        const double us = timed(script, &reply);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return Fail("the LED script failed", reply.errorMessage());
        if (reply.arguments().value(0).toString() != expected)
            return Fail("the LED script was not answered OK throughout");
        if (!sim.WaitForLogged(logged + kScriptCommands)
            || sim.LoggedLines().mid(logged) != ChannelCommands(run))
            return Fail("the simulator did not receive the script's channel commands");
        perSecond.push_back(kScriptCommands / (us / 1e6));
    }
    std::printf("Script of %d \"LED\" commands in one Exec against orvane-sim, %d runs\n", kScriptCommands, kScriptRuns);
    std::printf("  median %8.0f commands/s   (best %.0f, worst %.0f)\n", Median(perSecond),
                *std::max_element(perSecond.begin(), perSecond.end()),
                *std::min_element(perSecond.begin(), perSecond.end()));

    server.terminate();
    server.waitForFinished(10000);
    QDBusConnection::disconnectFromBus(QStringLiteral("bench"));
    return 0;
}
