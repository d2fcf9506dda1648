#pragma once
// Automation over the D-Bus session bus: the application object /OrvaneCmd,
// objects created for clients, and the bus name Orvane.OrvaneCmd.

#include <QString>

namespace OrvaneCmd {

// Owns the bus name and exports the application object. False when there is no
// session bus or the name is taken; why then says so in one line.
bool StartService(QString* why = nullptr);

// Gives the bus name up without waiting for the bus, so that a client's next
// call starts or reaches another program; the objects of this one stay.
void ReleaseName();

// Waits at most a second until the bus has read what was sent before, so a
// reply already sent reaches its client before the process ends. Nothing
// when the service is not running.
void FlushReplies();

// --regserver / --unregserver: writes or removes the user's D-Bus activation
// file for this executable, says what it did; returns the exit code.
int RegServer(bool install);

// Drops every object (through the destruction rule) and lets the name go.
void StopService();

// Lowers the cap on created objects of all clients together (Limits.h), so a
// test reaches it without making 65,536 objects; 0 restores it.
void SetMaxObjects(int total);

} // namespace OrvaneCmd
