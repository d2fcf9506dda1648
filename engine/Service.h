#pragma once
// The program as a supervised service (--service) and the rules that let a
// script or a service manager trust how it ends: the exit statuses, the
// notify protocol's readiness, status line and stop, and the end of a program
// that no client can reach any more.
#include <QString>
#include <QStringList>
#include <array>

class QObject;

namespace Service {

// Exit statuses of the program.
enum ExitStatus : int {
    kEnded = 0,           // the window was closed, the last user left, or a stop signal came
    kFailed = 1,          // no application directory, or a task of the command line failed
    kUsage = 2,           // the command line was wrong
    kAlreadyRunning = 3,  // another program serves this application directory
    kUnreachable = 4,     // started for clients (--automation, --service) that no road reaches
};
// The statuses another start would end with as well: the systemd units list
// them in RestartPreventExitStatus (dist/systemd, held to this by a test).
inline constexpr std::array<int, 3> kNoRestart = {kUsage, kAlreadyRunning, kUnreachable};

// --service: before the application object exists. Headless on Qt's offscreen
// platform; the window is never shown; the program stays until a stop signal.
void Enable();
bool Active();

// After start-up and the roads that clients may come by. Sends READY=1 and
// the status line, keeps the status line up to date and pings the watchdog
// from parent's event loop.
void Started(QObject* parent);
// The settings were read again: the status line goes out at once.
void SettingsReloaded();

// The one-line state for the service manager: the port, then each road's
// part: "port 1 open; D-Bus Orvane.OrvaneCmd.lab1, Orvane.OrvaneCmd; MQTT
// connected (5)" (every bus name held, the MQTT version in use; or "port 1
// not open", with ": another program holds <device>..." when it was busy,
// "no D-Bus", "MQTT not connected", "no MQTT").
QString StatusLine();
// The same, part by part: the port first, then each road's.
QStringList StatusParts();

// The longest a stop takes from the stop signal: the command under way ends
// (a time-out), each channel goes off (a time-out each) and the roads leave
// (Roads::kStoppingMs).
int StopBudgetMs();
// A stop signal came: STOPPING=1 with StopBudgetMs for the service manager.
void Stopping();

// The session bus is gone. A program started for clients (not --service)
// whose window nobody sees (windowSeen false) and that no other road serves
// (no MQTT_HOST) can no longer be reached: says so and ends the event loop with kUnreachable
// (true). False when the program stays.
bool EndIfUnreachable(bool windowSeen);

} // namespace Service
