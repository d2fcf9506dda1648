#pragma once
// One logging category per layer. Info and above are on by default: the
// warnings the program has always written on standard error ("orvane: ...")
// go through them. The debug traces are off until EnableTraces.
//   orvane.comm  each exchange: the command, the reply or why none came, the time taken;
//                every report of the serial link (Report), as a warning
//   orvane.dbus  calls, objects made and freed, clients appearing and vanishing
//   orvane.app   start-up and shut-down steps, and the program's own warnings
//   orvane.mqtt  the broker road: joining, leaving, connection attempts, ignored messages
#include <QLoggingCategory>
#include <functional>
#include <utility>

Q_DECLARE_LOGGING_CATEGORY(lcComm)
Q_DECLARE_LOGGING_CATEGORY(lcDbus)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcMqtt)

namespace Log {

// The program's message pattern: a warning reads exactly as its text (each
// carries its own "orvane: " or message box title), a debug trace starts with
// its category; withTimes puts the date and time in front. Where standard
// error is the journal, each line starts with its syslog priority ("<3>"
// critical and fatal, "<4>" warning, "<6>" info, "<7>" debug) and carries no
// time (the journal keeps its own). QT_MESSAGE_PATTERN still overrides it.
void SetUp(bool withTimes = false);

// True when standard error is the journal's stream: $JOURNAL_STREAM names its
// device and inode.
bool StderrIsJournal();

// A warning of the program's own on standard error: "orvane: " and the line.
void Say(const QString& line, QMessageLogger::CategoryFunction category = &lcApp);

// A report of the serial link, as a warning of orvane.comm: "orvane.comm: "
// and the line unchanged. The one entry of the filter for reports already
// said: a line written (or counted out) less than five seconds before is not
// written but counted, whatever came between; the counts follow as
// "orvane.comm: (<line>: N more times)" before the next line written or after
// a quiet second (the event loop looks). The first of each goes out at once.
void Report(const QString& line);
// Writes a count still held back (the program is ending).
void FlushRepeats();
// Tests: the quiet time and the window of Report (1000 and 5000 ms); returns the old pair.
std::pair<int, int> SetRepeatWindows(int quietMs, int saidMs);

// Turns the debug traces of every orvane.* category on, or back off.
void EnableTraces(bool on = true);

// ---- Standard error ----
// Nobody who does not read the program's standard error (a full pipe, a FIFO,
// a journal that stalls) may hold its event loop or its stop. SetUp sends
// every message here; a line that cannot be written now waits in a queue of
// kStderrQueueBytes; beyond it lines are dropped and counted, and so is each
// line standard error refuses (no space left, a reader gone). Once writing
// works again "orvane: (N lines dropped: standard error did not take them)"
// follows what was written. A line goes whole or not at all: the rest of one
// begun waits until it can be written. Safe from any thread.
inline constexpr qsizetype kStderrQueueBytes = 256 * 1024;
// Where every line for standard error is handed over, ending with its newline.
void ToStderr(const QByteArray& line);
// At the end: what still waits is written for at most ms, the count of lines
// dropped last. Lines left then are lost.
void FinishStderr(int ms);
// Tests: where the lines go instead of standard error, answering as write(2)
// does (bytes taken; 0 for "not now"; -1 for refused). Forgets what waits and
// the count; an empty function restores standard error.
using StderrWrite = std::function<qint64(const char* data, qint64 size)>;
void SetStderrWrite(StderrWrite write);

} // namespace Log
