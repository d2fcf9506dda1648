// Posix: the stop signals, noted by the handler and handed to the event loop through a pipe.
#include "base/Posix.h"

#include <QObject>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace Posix {
namespace {

// ---- Stop signals ----
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_stopSignal = 0;

void OnSignal(int sig)
{
    if (g_stopSignal == 0)
        g_stopSignal = sig;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

void DrainSignalPipe()
{
    char buf[16];
    while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
    }
}

} // namespace

void WatchStopSignals(QObject* parent, std::function<void()> onStop)
{
    g_stopSignal = 0;
    if (g_signalPipe[0] >= 0) {
        DrainSignalPipe();
        return;
    }
    // Neither end blocks: the handler must never wait, nor the loop's read.
    if (::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [onStop = std::move(onStop)] {
        DrainSignalPipe();
        onStop();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

int StopSignal() { return g_stopSignal; }

QString SignalName(int sig)
{
    switch (sig) {
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGHUP: return QStringLiteral("SIGHUP");
    default: return QStringLiteral("signal %1").arg(sig);
    }
}

} // namespace Posix
