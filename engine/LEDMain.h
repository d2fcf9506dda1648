#pragma once
// Program entry, start-up and shut-down, the command interpreter and channel
// output. One module over several files: LEDMain.cpp (process entry, stop
// signals), Startup.cpp (start-up, shut-down, the instance lock), Lifetime.cpp
// (the main window's load and unload, what keeps the process alive), AppDir.cpp
// (the application directory), ChannelOutput.cpp, Interpreter.cpp.
// The main window is frmVURUruduvo, reached through ChannelPanel; "VURUruduvo"
// is the title of the "already running" box (other boxes are titled Orvane).
#include "engine/ChannelPanel.h"

#include <QString>
#include <array>
#include <cstdint>

class QObject;

namespace LEDMain {

// ---- Program-wide state ----
QString AppDir();               // application directory followed by "/"
// The application directory: `option` (--app-dir), else $ORVANE_APP_DIR, else
// for an installed program $XDG_CONFIG_HOME/orvane (~/.config/orvane), made
// with a LED_CONFIG.TXT of port 1 and 500 ms when it does not exist, else the
// executable's directory (exeDir; empty: the running executable's). Canonical,
// without a trailing "/". Empty when the chosen one is no directory or cannot
// be made, and why says so.
QString ChooseAppDir(const QString& option, QString* why, const QString& exeDir = QString());
// The command reference: the application directory's own, else an installed
// program's shared one, else the one beside the executable (exeDir; empty:
// the running executable's).
QString CommandsFile(const QString& exeDir = QString());
int16_t MainWindowLoaded();     // 1 while the main window is loaded, shown or hidden
int AutomationObjects();        // automation objects alive now
int16_t MaxCmdHist();

// ---- Start-up and shut-down ----
// The process entry: single instance, start-up, event loop. Returns the exit code.
int Run(int argc, char** argv);
// Takes the lock that lets one program serve an application directory: true
// when taken, false when another live program holds it. The lock is the
// directory's own .orvane.lock; only where the directory cannot hold it, it
// lies in $ORVANE_LOCK_DIR if set, else in the runtime directory, else in the
// temporary directory under a name with the user's id. Where
// no place can, true all the same: said on standard error and kept for
// InstanceLockProblem. The lock is let go once the program has shut down and
// only editor windows keep it alive.
bool TakeInstanceLock(const QString& appPath);
// Why the last TakeInstanceLock could not guard against a second copy; empty when it could.
QString InstanceLockProblem();
bool HoldsInstanceLock();
// Settings, port, main window (loaded hidden), all channels off. 1 when every
// step succeeded; -1 when the settings could not be read or the port did not
// open (the remaining steps still run, and the message box shows the first failure).
int16_t AppInit();
// Creates the serial host and opens the configured port: 1 open, -1 not.
int16_t DeviceConnect();
// After the settings changed (Configuration > Port): the port reopened on
// them, then every road and the service told.
void ReloadSettings();
// Hands the serial link's reports to their consumers: the Response box of the
// panel while one is loaded. AppInit does this first.
void ConnectReports();
// All channels off, port closed, serial host gone. Always 0.
int16_t AppShutdown();
// True once AppShutdown has run since the last AppInit.
bool ShutDownRan();

// Routes SIGTERM, SIGINT and SIGHUP to the program's end from now on and
// forgets a stop signal seen before. Run does this before start-up.
void WatchStopSignals(QObject* parent);
// When a stop signal has come: all channels off and the port closed (when the
// serial host is loaded), replies already sent handed to the bus (a second at
// most), and the process ends with code 0 through Platform::Exit, wherever it
// is called from, a modal loop included. Returns at once when none has come.
// The event loop calls it when the signal arrives; a served call calls it
// before it runs and after its reply is sent, so that the client of a stopped
// script gets its reply and no call queued behind it runs.
void EndIfStopped();

// How the main window is made; main() registers it (tests register theirs).
void SetPanelFactory(ChannelPanelFactory factory);
// The main window: the current instance, or nullptr when it is not loaded.
ChannelPanel* MainForm();
// The current instance, created (loaded, hidden) first when there is none;
// nullptr when no factory is registered or it made none.
ChannelPanel* LoadMainForm();
// Load and unload handling of the main window; the window calls these itself.
void MainFormLoad(ChannelPanel* form);
void MainFormUnload(ChannelPanel* form);

// Other top-level windows (text editors) that keep the process alive while open.
void HoldProcess();
void ReleaseProcess();

// Automation objects report their birth and death; the shut-down rule counts them.
void AutomationObjectCreated();
void AutomationObjectDestroyed();

// The session bus went away and took every automation object with it: a program
// serving automation behind a hidden window unloads it and ends; one with a
// visible window keeps running and says so once.
void AutomationGone();

// Ends the process once no window of the design is loaded, no automation object lives
// and nothing else holds it. The one place that decides.
void CheckProcessEnd();

// ---- Channel output ----
// Sends the channel command (Wire::ChannelCommand) for the letter on the wire
// and the clamped intensity, telling every road before and after, and waits
// for the reply: 1 when a reply came, -1 when the exchange failed (logged by
// the serial link) or the letter is none of "A".."D" (nothing sent).
int16_t SetChannel(const QString& letter, int16_t intensity);
// SetChannel with 0 for "A" to "D", each waiting for its reply. Always 0.
int16_t AllChannelsOff();
// AllChannelsOff for shut-down: its commands go out after a stop signal too.
int16_t AllChannelsOffAtShutDown();
// A controller that came back has lost what it was set to: every channel
// counts as failed, so its next bar touch or "LED" sends again.
void MarkChannelsUnsent();
// 1 when a loaded window has that object name, else 0.
int16_t IsFormLoaded(const QString& name);
// Channel commands that failed since the program started; lets a caller tell
// whether the sends of one bar move all succeeded.
uint64_t ChannelFailures();
// True while the last channel command of device channel index 0..3 failed: the
// next action on that channel sends again even when it leaves the value unchanged.
bool ChannelFailed(int index);
// The intensity the controller last confirmed for each device channel 0..3
// (R, G, B, A as the bars stand); 0 before any.
std::array<int16_t, 4> ChannelLevels();

// ---- Command interpreter ----
// A failure that is no response of the language: it abandons the script. The
// window could not be shown or hidden (1), or a stop signal came while the
// script ran (the signal's number, "stopped by SIGTERM before the script
// ended"): the script ends before its next command.
struct ScriptFailure {
    int number = 0;  // 0: none
    QString description;
};
// The joined responses, each followed by " ; "; empty when the script runs no
// command or is abandoned (failure then says why).
QString ExecScript(const QString& script, ScriptFailure* failure = nullptr);
QString ExecCommand(const QString& line, ScriptFailure* failure = nullptr);
// Cuts the piece before the first separator off source: its length, 0 when
// source is empty or begins with the separator (which ends a script).
int16_t SplitFirst(QString& source, QString& piece, const QString& separator);
// Cuts the first blank-separated word off line: its length, 0 when none.
int16_t NextToken(QString& line, QString& token);
QString LedCommand(const QString& rest);
QString LedSet(const QString& channel, const QString& valueText);
// The one call by which every road sets a level: channel index 0..3 in the
// bars' order (R, G, B, A), level within the channels' range. With a window
// loaded its bar moves and the bar's handling sends (the tied bars follow);
// else the channel is sent. True when every send succeeded. It counts no
// command: a request counts once, however many levels it sets.
bool SetLevel(int index, int16_t level);
// A road's request for one channel's value, answered as "LED <ch> <value>"
// would be (the value's first word; On, Off or a number, clamped), without
// the text of a command; counts as one command.
QString LedRequest(int index, const QString& value);
// Counts one command for a request that is no script (a light's command).
void CountCommand();
int64_t CommandCounter();

} // namespace LEDMain
