#include "base/Notify.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <systemd/sd-daemon.h>

namespace Notify {
namespace {

QString g_status;
uint64_t g_watchdogUsec = 0;
QElapsedTimer g_sincePing;

void Send(const QByteArray& state) { sd_notify(0, state.constData()); }

} // namespace

void Ready() { Send("READY=1"); }

void Status(const QString& line)
{
    if (line == g_status)
        return;
    g_status = line;
    Send("STATUS=" + line.toUtf8());
}

void Stopping(uint64_t extendUsec)
{
    Send("STOPPING=1\nEXTEND_TIMEOUT_USEC=" + QByteArray::number(qulonglong(extendUsec)));
}

bool StartWatchdog(QObject* parent)
{
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
    timer->start(int(std::clamp<uint64_t>(usec / 4000, 1, 3'600'000)));
    return true;
}

void Ping()
{
    if (g_watchdogUsec == 0)
        return;
    if (g_sincePing.isValid() && uint64_t(g_sincePing.nsecsElapsed()) / 1000 < g_watchdogUsec / 2)
        return;
    g_sincePing.start();
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
