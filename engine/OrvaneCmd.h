#pragma once
// Automation over the D-Bus session bus: the application object /OrvaneCmd,
// objects created for clients, and the bus name Orvane.OrvaneCmd.

#include <QString>
#include <QStringList>

namespace Roads {
class Road;
}

namespace OrvaneCmd {

// The bus road as the core tells and asks it (Roads.h): it starts with the
// program, follows a NAME changed in the settings, gives its names up when
// the program stops serving, and answers whether another program serves our
// NAME on the bus.
Roads::Road& BusRoad();

// Owns the bus name and exports the application object. False when there is no
// session bus or the program's own name is taken; why then says so in one line.
// With a NAME the own name is Orvane.OrvaneCmd.<NAME>, and the plain name is
// taken as well when it is free.
bool StartService(QString* why = nullptr);

// NAME from the loaded settings: empty when there is none, or when it is no
// valid name (letters, digits, underscores, not starting with a digit, at
// most 200 characters), which a message box then names.
QString ControllerName();

// The bus name this program owns and serves now; empty when it serves none
// (no bus, the name taken, the bus gone or the name given up).
QString ServiceName();
// Every bus name this program holds now: its own first, then the plain
// Orvane.OrvaneCmd that a named program holds as a courtesy; empty like ServiceName.
QStringList ServiceNames();

// Gives the bus name up without waiting for the bus, so that a client's next
// call starts or reaches another program; the objects of this one stay.
void ReleaseName();

// Waits at most msecs until the bus has read what was sent before, so a
// reply already sent reaches its client before the process ends. Nothing
// when the service is not running.
void FlushReplies(int msecs = 1000);

// --regserver / --unregserver: writes or removes the user's D-Bus activation
// file for this executable, says what it did; returns the exit code. The file
// starts the program with --app-dir when the settings name the controller or
// keepAppDir (the directory was chosen by --app-dir or ORVANE_APP_DIR). For a
// directory ~/.config/orvane/<dir> of an installed program it names the unit
// orvane@<dir>.service as well. Only a file that starts this executable is
// removed; another is left in place with 1.
int RegServer(bool install, bool keepAppDir = false);

// Drops every object (through the destruction rule) and lets the name go.
void StopService();

// Lowers the running service's cap on created objects of all clients together
// (Limits.h), so a test reaches it without making 65,536 objects; 0 restores
// it. A new start has the full cap again.
void SetMaxObjects(int total);

} // namespace OrvaneCmd
