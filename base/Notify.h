#pragma once
// The service manager's notify protocol (systemd): readiness, a status line,
// the watchdog's pings and the stop. Every call is nothing where NOTIFY_SOCKET
// is unset, so the program speaks it in every start mode. No call ever waits
// for the manager: a message its socket cannot take now is dropped, except
// READY=1 and the latest status line, which go at the next chance (the next
// call of any of these, and the watchdog's timer).
#include <QString>
#include <cstdint>

class QObject;

namespace Notify {

// "READY=1": start-up has run.
void Ready();
// "STATUS=<line>", only when the line differs from the last one sent; one
// line whatever it holds (OutsideText's notify field).
void Status(const QString& line);
// "STOPPING=1" and "EXTEND_TIMEOUT_USEC=<usec>": the stop has begun and may take that long.
void Stopping(uint64_t extendUsec);

// Reads the watchdog's interval (WATCHDOG_USEC, for this process only when
// WATCHDOG_PID names it or is unset) and, when one is set, pings from the
// event loop of parent's thread from now on. False when no watchdog is asked for.
bool StartWatchdog(QObject* parent);
// "WATCHDOG=1", about once per half of the interval and never sooner than
// three eighths of it; nothing without a
// watchdog. Work that holds the event loop (a script between its commands,
// the wait for a reply) calls it, so a long but living script is never taken
// for a hung program.
void Ping();
// The longest a blocking wait of the event loop's thread may last before it
// must ping again: ms itself without a watchdog, else at most a quarter of the interval.
int WaitSlice(int ms);
// The watchdog's interval in microseconds; 0 without one.
uint64_t WatchdogUsec();

} // namespace Notify
