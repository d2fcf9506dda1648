#pragma once
// What the program is asked on its command line. Parsed from the raw arguments
// before any application object exists, so --help and --version answer without
// a display.
#include <QString>
#include <QStringList>

namespace StartOptions {

struct Values {
    bool automation = false;
    bool service = false;   // --service
    int regServer = 0;      // 1 --regserver, -1 --unregserver, 0 neither
    QString appDir;         // --app-dir; empty when not given
    bool listPorts = false;
    QString linkPort;       // --link-port N DEVICE: N as typed, empty when not given
    QString linkDevice;
    bool udevRule = false;  // --udev-rule [PORT]
    QString udevPort;       // PORT as typed, empty for the configured one
    bool verbose = false;
};

enum class Request { Start, Help, Version, UsageError };

// arguments[0] is the program. Qt's own options (-platform NAME, -style NAME,
// -reverse and the like) are accepted and left for the application object.
// UsageError for an unknown option, a missing value or a stray argument:
// error then says which.
Request Parse(const QStringList& arguments, Values& values, QString* error);
// The text --help prints; a usage error prints it after the error.
QString Usage();
QString Version();
// --verbose: the orvane.* debug categories on, each line with its date and time.
void BeVerbose();

// True when the options ask for a task that runs without a window and exits:
// --regserver, --unregserver, --list-ports, --link-port.
bool IsTask(const Values& values);
// Runs that task in the chosen application directory with a core application
// object; says what went wrong as "orvane: ..." and returns the exit code.
int RunTask(const Values& values, int argc, char** argv);

} // namespace StartOptions
