#pragma once
// What the fuzz targets share: Qt on the offscreen platform, message boxes
// and the quit decision answered at once, a temporary application directory,
// and pseudo-terminals whose far ends stand where the program's ports open,
// so the program's own QSerialPort talks to this process.
#include <QByteArray>
#include <QString>

namespace FuzzSupport {

// Once, from LLVMFuzzerInitialize: the application and its directory.
void Init(const char* argv0);

// The application directory, without a trailing separator.
QString AppDir();

// Writes a parameter file naming the port and the reply time-out.
void WriteConfig(const QString& path, int port, int timeOutMs);

struct Terminal {
    int master = -1;  // the controller's end, non-blocking
    int slave = -1;   // held open here too, so the terminal outlives the program's port
};
// A pseudo-terminal whose far end is <application directory>/COM<port>.
Terminal AddTerminal(int port);

// Writes to the controller's end as far as the terminal takes it.
void WriteToProgram(const Terminal& t, const QByteArray& bytes);

// Waits (up to a second) until the program's end of the terminal holds at
// least count unread bytes; false when they did not arrive.
bool WaitUntilReadable(const Terminal& t, int count);

} // namespace FuzzSupport
