#pragma once
// Where the program keeps a user's settings: one rule for the program and its client.
#include <QString>

namespace AppPaths {

// $XDG_CONFIG_HOME/orvane, else ~/.config/orvane; a relative XDG_CONFIG_HOME is
// invalid and ignored.
QString UserConfigDir();
// share/orvane of the installation whose bin/ is exeDir (canonical), or empty when
// exeDir is no installation's (a build tree).
QString InstalledDataDir(const QString& exeDir);
// The application directory when no --app-dir is given: $ORVANE_APP_DIR, else
// UserConfigDir() for an installed program, else exeDir. Not made, not checked.
QString DefaultAppDir(const QString& exeDir);

// A bus started for the program alone, where the user has no session bus (an ssh
// shell), leaves its address in this file of the application directory; the
// client finds the program there.
inline constexpr char kPrivateBusFile[] = ".orvane-bus";

} // namespace AppPaths
