// What the web road costs: the time from a D-Bus "LED R n" to a page's socket
// showing it, against the D-Bus call's own reply in the same rounds, and the
// memory the road adds, against the same program with the road off.
//
// The program runs as a service (--service, headless) on a bus of its own,
// against orvane-sim, once without WEB_PORT and once with it and one page open.
#include "bench/BenchUtil.h"
#include "dbus/BusNames.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QTimer>
#include <QDBusConnection>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <cstdio>
#include <memory>

namespace {

constexpr int kRounds = 200;

using Bench::Clock;
using Bench::Fail;
using Bench::Median;
using Bench::Micros;

// Resident memory, and the part of it the process wrote (not library code read from the page cache).
struct Memory {
    qint64 rssKb = -1;
    qint64 dirtyKb = -1;
};

Memory Measure(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromLatin1(f.readAll());
    auto field = [&](const char* name) {
        return QRegularExpression(QStringLiteral("\\n%1:\\s+(\\d+)").arg(QLatin1String(name))).match(text).captured(1).toLongLong();
    };
    return {field("Rss"), field("Private_Dirty")};
}

struct Program {
    TestSupport::ChildProgram copy;
    TestSupport::SimProcess sim;
    std::unique_ptr<QProcess> process;
};

// Started, its port open and its bus name held; a few levels sent so that both runs have exchanged.
std::unique_ptr<Program> Start(const TestSupport::PrivateBus& bus, const QDBusConnection& client, const QByteArray& more)
{
    auto p = std::make_unique<Program>();
    if (!p->copy.Prepare(TestSupport::Config(3, 500) + more) || !p->sim.Start({"--link", p->copy.App("COM3"), "--no-show"}))
        return nullptr;
    p->process = p->copy.Start({"--service"}, bus.Environment(p->copy.Env()));
    if (!p->process || !QTest::qWaitFor([&] {
            return TestSupport::Call(client, BusNames::kRoot, "org.freedesktop.DBus.Peer", "Ping").type()
                   == QDBusMessage::ReplyMessage;
        }, 10000))
        return nullptr;
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestSupport::PrivateBus bus;
    if (!bus.Start())
        return Fail("no bus");
    QDBusConnection client = QDBusConnection::connectToBus(bus.Address(), QStringLiteral("bench"));
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return Fail("no free port");
    const quint16 port = probe.serverPort();
    probe.close();

    auto off = Start(bus, client, {});
    if (!off)
        return Fail("the program without the web road did not start");
    const Memory offKb = Measure(off->process->processId());
    TestSupport::ChildProgram::Stop(*off->process);

    auto on = Start(bus, client, "\"WEB_PORT\"," + QByteArray::number(port) + "\r\n");
    if (!on)
        return Fail("the program with the web road did not start");
    const Memory onKb = Measure(on->process->processId());
    QTcpSocket get;
    get.connectToHost(QHostAddress::LocalHost, port);
    get.write("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n\r\n");
    QByteArray page;
    while (get.waitForReadyRead(3000))
        page += get.readAll();
    const QString token = QRegularExpression(QStringLiteral("orvane-token\" content=\"([0-9a-f]+)\"")).match(QString::fromUtf8(page)).captured(1);
    QWebSocket socket(QStringLiteral("http://127.0.0.1:%1").arg(port));
    int shownR = -1;
    Clock::time_point shownAt;
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString& m) {
        const QJsonObject o = QJsonDocument::fromJson(m.toUtf8()).object();
        if (o.value("type") == "levels") {
            shownR = o.value("levels").toArray().at(0).toInt();
            shownAt = Clock::now();
        }
    });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws?token=%2").arg(port).arg(token)));
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
        return Fail("the page's socket did not open", socket.errorString());

    // Timed where each arrives: an event loop that wakes with the socket, not a poll.
    std::vector<double> toPage, toReply;
    for (int i = 0; i < kRounds; ++i) {
        const int level = 1 + i % 500;
        QDBusMessage exec = QDBusMessage::createMethodCall(BusNames::kService, BusNames::kRoot, BusNames::kCmdInterface,
                                                           QStringLiteral("Exec"));
        exec.setArguments({QStringLiteral("LED R %1").arg(level)});
        QEventLoop loop;
        Clock::time_point replied;
        QDBusPendingCallWatcher watcher(client.asyncCall(exec, 10000));
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, [&] {
            replied = Clock::now();
            if (shownR == level)
                loop.quit();
        });
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, [&] {
            if (shownR == level && watcher.isFinished())
                loop.quit();
        });
        QTimer::singleShot(5000, &loop, [&] { loop.exit(1); });
        const auto start = Clock::now();
        if (loop.exec() != 0 || watcher.isError())
            return Fail("a level did not reach the page");
        toReply.push_back(Micros(replied - start) / 1000);
        toPage.push_back(Micros(shownAt - start) / 1000);
    }
    const Memory pageKb = Measure(on->process->processId());
    std::printf("D-Bus \"LED R n\" to the page showing it: median %.2f ms, slowest %.2f ms; the call's own reply: median %.2f ms "
                "(ratio %.2f; %d rounds, orvane-sim answering at once)\n",
                Median(toPage), *std::max_element(toPage.begin(), toPage.end()), Median(toReply),
                Median(toPage) / Median(toReply), kRounds);
    for (const auto& [what, m] : {std::pair{"road on", onKb}, std::pair{"one page, after the levels", pageKb}})
        std::printf("memory, %s against the road off: resident %lld KiB (+%lld), written by the process %lld KiB (+%lld)\n",
                    what, m.rssKb, m.rssKb - offKb.rssKb, m.dirtyKb, m.dirtyKb - offKb.dirtyKb);
    socket.close();
    TestSupport::ChildProgram::Stop(*on->process);
    return 0;
}
