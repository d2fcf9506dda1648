#include "base/Notify.h"

#include "base/OutsideText.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace Notify {
namespace {

QString g_status;
// Sent when the manager's socket takes them again: the manager must learn
// that the program is ready, and how it is now.
bool g_readyPending = false;
bool g_statusPending = false;
uint64_t g_watchdogUsec = 0;
QElapsedTimer g_sincePing;
int g_fd = -1;

// The watchdog timer's period: a quarter of the interval.
int64_t TickMs() { return std::clamp<int64_t>(int64_t(g_watchdogUsec / 4000), 1, 3'600'000); }

// The notify protocol's datagram, written here rather than by sd_notify,
// whose send blocks while the manager's socket is full: a manager that
// stopped reading must not hold the event loop. False when the message could
// not go now and may later; a socket that is missing or no socket takes nothing, ever.
bool Send(const QByteArray& state)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() < 2 || (path[0] != '/' && path[0] != '@') || size_t(path.size()) >= sizeof a.sun_path)
        return true;
    std::copy(path.begin(), path.end(), a.sun_path);
    if (path[0] == '@')
        a.sun_path[0] = '\0';  // an abstract name
    if (g_fd < 0)
        g_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (g_fd < 0)
        return false;
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    if (::sendto(g_fd, state.constData(), size_t(state.size()), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&a), length)
        >= 0)
        return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR;
}

// What could not go before goes first, at each chance the loop gives.
void SendPending()
{
    if (g_readyPending)
        g_readyPending = !Send("READY=1");
    if (g_statusPending && !g_readyPending)
        g_statusPending = !Send("STATUS=" + OutsideText::For(OutsideText::Target::NotifyField, g_status).toUtf8());
}

} // namespace

void Ready()
{
    g_readyPending = true;
    SendPending();
}

void Status(const QString& line)
{
    if (line == g_status && !g_statusPending)
        return;
    g_status = line;
    g_statusPending = true;
    SendPending();
}

void Stopping(uint64_t extendUsec)
{
    Send("STOPPING=1\nEXTEND_TIMEOUT_USEC=" + QByteArray::number(qulonglong(extendUsec)));
}

bool StartWatchdog(QObject* parent)
{
    // libsystemd reads WATCHDOG_USEC and WATCHDOG_PID: no peer is spoken to.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        g_watchdogUsec = 0;
        return false;
    }
    g_watchdogUsec = usec;
    g_sincePing.invalidate();
    Ping();
    // A quarter: a timer a little late still pings within each half.
    auto* timer = new QTimer(parent);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, Ping);
    timer->start(int(TickMs()));
    return true;
}

void Ping()
{
    SendPending();
    if (g_watchdogUsec == 0)
        return;
    // Half a tick early: the tick at half an interval may come a hair before
    // it, and waiting for the next one would ping at three quarters.
    const uint64_t half = g_watchdogUsec / 2;
    const uint64_t slack = uint64_t(TickMs()) * 500;
    if (g_sincePing.isValid() && uint64_t(g_sincePing.nsecsElapsed()) / 1000 < (half > slack ? half - slack : 0))
        return;
    g_sincePing.start();
    // A ping that cannot go is not kept: the next one follows within half an interval.
    Send("WATCHDOG=1");
}

int WaitSlice(int ms)
{
    if (g_watchdogUsec == 0)
        return ms;
    return std::min<int64_t>(ms, std::max<int64_t>(1, int64_t(g_watchdogUsec / 4000)));
}

uint64_t WatchdogUsec() { return g_watchdogUsec; }

} // namespace Notify
