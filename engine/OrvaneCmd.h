#pragma once
// Automation over the D-Bus session bus: the application object /OrvaneCmd,
// objects created for clients, and the bus name Orvane.OrvaneCmd.

namespace OrvaneCmd {

// Owns the bus name and exports the application object. False, with one line
// on standard error, when there is no session bus or the name is taken; the
// program then runs without automation.
bool StartService();

// --regserver / --unregserver: writes or removes the user's D-Bus activation
// file for this executable, says what it did; returns the exit code.
int RegServer(bool install);

// Drops every object (through the destruction rule) and lets the name go.
void StopService();

} // namespace OrvaneCmd
