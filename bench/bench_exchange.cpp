// How much the exchange costs over a plain client, and what a wait costs.
//
// 2,000 exchanges through CommQuery against orvane-sim, and the same 2,000
// from a plain termios client on the same pseudo-terminal, taking turns;
// then the CPU time of a 1,000 ms wait for a reply that never comes; then
// five times a device that vanishes and comes back: the CPU time while it is
// gone, and the time from its return to the first answered command.
//
// The program and the simulator it starts share one CPU unless --spread is
// given. Spread over several CPUs, an exchange takes either a few or some
// tens of microseconds, depending on where the scheduler wakes the simulator,
// and a median of such a mix says more about the scheduler than about the
// code; on one CPU both clients meet the same path every time.
#include "bench/BenchUtil.h"
#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "base/Platform.h"
#include "params/TRAPAR.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExchanges = 2000;
constexpr int kWaitMs = 1000;

using Bench::Clock;
using Bench::Median;
using Bench::Micros;

double CpuMs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0
        + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

QString Command(int i)
{
    return QStringLiteral("AV%1%2").arg(QChar('A' + i % 4)).arg(i % 501, 3, 10, QChar('0'));
}

// The baseline: what any program would do with the bare terminal.
class PlainClient {
public:
    explicit PlainClient(const QString& path)
    {
        fd_ = open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&t, B9600);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~PlainClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    bool Query(const std::string& command, int timeoutMs)
    {
        const std::string line = command + '\r';
        if (write(fd_, line.data(), line.size()) != ssize_t(line.size()))
            return false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string reply;
        char buf[256];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() < 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(left.count()) + 1) <= 0)
                continue;
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                return false;
            reply.append(buf, size_t(n));
            if (reply.find('\r') != std::string::npos)
                return true;
        }
    }

private:
    int fd_ = -1;
};

int Fail(const char* what)
{
    fprintf(stderr, "bench_exchange: %s\n", what);
    fprintf(stderr, "log: %s", qPrintable(LEDCOMM::GetErrLog()));
    return 1;
}

// Runs the event loop until done() holds or timeoutMs pass; false on the time-out.
bool RunUntil(const std::function<bool()>& done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QElapsedTimer wall;
    wall.start();
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || wall.elapsed() > timeoutMs)
            loop.quit();
    });
    check.start(2);
    loop.exec();
    return done();
}

// The event loop alone for ms milliseconds.
void Idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool spread = app.arguments().contains(QStringLiteral("--spread"));
    if (!spread) {
        if (!Bench::KeepToOneCpu())
            perror("bench_exchange: sched_setaffinity");
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return Fail("no temporary directory");
    Platform::App().Path = dir.path();
    TRAPAR::SetParDir(dir.path() + "/");
    auto configure = [&](int port, int timeout) {
        TestSupport::WriteFile(dir.filePath("LED_CONFIG.TXT"), TestSupport::Config(port, timeout));
        return LEDCOMM::CommReadSettings() == 1;
    };

    TestSupport::SimProcess sim;
    if (!sim.Start({"--link", dir.filePath("COM40"), "--log", "/dev/null"}))
        return Fail("orvane-sim did not start");
    LEDCOMM::SetCommInTerm(13);
    LEDCOMM::SetCommOutTerm(13);
    LEDCOMM::CommFormLoad();
    if (!configure(40, 1000))
        return Fail("settings not read");

    // Both clients hold the terminal at once and take turns exchange by
    // exchange, so a change in the machine's mood hits both alike. The plain
    // client opens first: the port's exclusive mode bars later opens.
    PlainClient plain(sim.PtyPath());
    if (!plain.ok())
        return Fail("the plain client could not open the terminal");
    if (!LEDCOMM::CommOpenConfigured())
        return Fail("port did not open");
    std::vector<double> viaComm;
    std::vector<double> viaPlain;
    viaComm.reserve(kExchanges);
    viaPlain.reserve(kExchanges);
    QString reply;
    for (int i = 0; i < 50; ++i) {  // warm up
        LEDCOMM::CommQuery(Command(i), reply);
        plain.Query(Command(i).toStdString(), 1000);
    }
    for (int i = 0; i < kExchanges; ++i) {
        const QString cmd = Command(i);
        const std::string plainCmd = cmd.toStdString();
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (i % 2 == 0)) {
                const auto t0 = Clock::now();
                const int16_t r = LEDCOMM::CommQuery(cmd, reply);
                viaComm.push_back(Micros(Clock::now() - t0));
                if (r != 1)
                    return Fail("an exchange through CommQuery failed");
            } else {
                const auto t0 = Clock::now();
                const bool ok = plain.Query(plainCmd, 1000);
                viaPlain.push_back(Micros(Clock::now() - t0));
                if (!ok)
                    return Fail("an exchange of the plain client failed");
            }
        }
    }
    LEDCOMM::CommClosePort();
    const double commMedian = Median(viaComm);
    const double plainMedian = Median(viaPlain);
    const double ratio = commMedian / plainMedian;
    printf("exchanges: %d through CommQuery, %d from a plain termios client, taking turns (%s)\n",
           kExchanges, kExchanges, spread ? "CPUs as the scheduler likes" : "simulator and clients on one CPU");
    printf("median CommQuery:      %8.1f us\n", commMedian);
    printf("median termios client: %8.1f us\n", plainMedian);
    printf("ratio:                 %8.3f  (target <= 1.25: %s)\n", ratio, ratio <= 1.25 ? "met" : "MISSED");

    // A reply that never comes: the wait must block, not poll.
    TestSupport::SimProcess silent;
    if (!silent.Start({"--link", dir.filePath("COM41"), "--silent", "--log", "/dev/null"}))
        return Fail("silent orvane-sim did not start");
    if (!configure(41, kWaitMs) || !LEDCOMM::CommOpenConfigured())
        return Fail("silent port did not open");
    QElapsedTimer wall;
    double cpu0 = CpuMs();
    wall.start();
    const int16_t r = LEDCOMM::CommQuery("AVA000", reply);
    double cpu = CpuMs() - cpu0;
    printf("wait for a reply that never comes: result %d after %lld ms, CPU %.2f ms  (target < 10: %s)\n",
           r, wall.elapsed(), cpu, cpu < 10 ? "met" : "MISSED");
    LEDCOMM::CommClosePort();

    // The same wait on a port that is not open.
    cpu0 = CpuMs();
    wall.restart();
    LEDCOMM::CommQuery("AVA000", reply);
    cpu = CpuMs() - cpu0;
    printf("wait on a port that is not open:   after %lld ms, CPU %.2f ms\n", wall.elapsed(), cpu);

    // Unplugged and back: the program looks once a second and reopens by itself.
    constexpr int kRounds = 5;
    constexpr int kGoneMs = 3000;
    std::vector<double> backMs;
    double goneCpu = 0;
    double goneMs = 0;
    {
        auto device = std::make_unique<TestSupport::SimProcess>();
        if (!device->Start({"--link", dir.filePath("COM42"), "--log", "/dev/null"}) || !configure(42, 500)
            || !LEDCOMM::CommOpenConfigured())
            return Fail("port 42 did not open");
        for (int round = 0; round < kRounds; ++round) {
            device->Stop();
            if (!RunUntil([] { return !LEDCOMM::CommForm()->MSComm1->isOpen(); }, 5000))
                return Fail("the vanished device was not closed");
            // Returns at another point of the once-a-second look each round.
            const int gone = kGoneMs + round * 1000 / kRounds;
            cpu0 = CpuMs();
            Idle(gone);
            goneCpu += CpuMs() - cpu0;
            goneMs += gone;
            device = std::make_unique<TestSupport::SimProcess>();
            if (!device->Start({"--link", dir.filePath("COM42"), "--log", "/dev/null"}))
                return Fail("orvane-sim did not start again");
            const auto t0 = Clock::now();
            if (!RunUntil([] { return LEDCOMM::CommForm()->MSComm1->isOpen(); }, 10000)
                || LEDCOMM::CommQuery("AVA000", reply) != 1)
                return Fail("the device that came back was not reopened");
            backMs.push_back(Micros(Clock::now() - t0) / 1000);
        }
    }
    const double worst = *std::max_element(backMs.begin(), backMs.end());
    printf("device gone: CPU %.2f ms per second of waiting (%d waits, %.0f ms in all)\n", goneCpu / (goneMs / 1000.0),
           kRounds, goneMs);
    printf("device back to an answered command: median %.0f ms, worst %.0f ms  (target <= 2000: %s)\n",
           Median(backMs), worst, worst <= 2000 ? "met" : "MISSED");

    LEDCOMM::CommFormUnload();
    return ratio <= 1.25 && worst <= 2000 ? 0 : 2;
}
