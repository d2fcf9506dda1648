#pragma once
// One logging category per layer. Info and above are on by default: the
// warnings the program has always written on standard error ("orvane: ...")
// go through them. The debug traces are off until EnableTraces.
//   orvane.comm  each exchange: the command, the reply or why none came, the time taken
//   orvane.dbus  calls, objects made and freed, clients appearing and vanishing
//   orvane.app   start-up and shut-down steps, and the program's own warnings
//   orvane.mqtt  the broker road: joining, leaving, connection attempts, ignored messages
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcComm)
Q_DECLARE_LOGGING_CATEGORY(lcDbus)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcMqtt)

namespace Log {

// The program's message pattern: a warning reads exactly as its text (each
// carries its own "orvane: " or message box title), a debug trace starts with
// its category. QT_MESSAGE_PATTERN still overrides it.
void SetUp();

// A warning of the program's own on standard error: "orvane: " and the line.
void Say(const QString& line, QMessageLogger::CategoryFunction category = &lcApp);

// Turns the debug traces of every orvane.* category on, or back off.
void EnableTraces(bool on = true);

} // namespace Log
