#pragma once
// The pieces of the program that speak to the operating system below Qt: stop
// signals, the single-instance lock, a serial line's error counters and hang-up,
// who holds a serial lock, who may use a device, the owner and mode of a saved file, the executable.
#include <QString>
#include <array>
#include <functional>

class QObject;

namespace Posix {

// ---- Stop signals ----
// Catches SIGTERM, SIGINT and SIGHUP. The handler only notes the first one and
// writes to a pipe; the event loop reads the pipe and calls onStop. A later call
// forgets a signal noted before and keeps the watch (and onStop) it set up.
void WatchStopSignals(QObject* parent, std::function<void()> onStop);
// The first stop signal since WatchStopSignals, or 0.
int StopSignal();
// "SIGTERM", "SIGINT", "SIGHUP", else "signal <n>".
QString SignalName(int sig);

// ---- Single-instance lock ----
// Takes the lock of one program per application directory: true when taken,
// false when another live program holds it. It is the directory's own
// kDirLockName (LockDirectory), whatever the environment says; only where the
// directory cannot hold it, it lies in $ORVANE_LOCK_DIR if set, else in the
// runtime directory; where that cannot hold it either, in the temporary
// directory under a name with the user's id. Where no place can, true all the
// same, with problem saying why. A lock taken before is let go first.
bool TakeInstanceLock(const QString& appPath, QString* problem);
// The lock file in an application directory.
inline constexpr char kDirLockName[] = ".orvane.lock";
// flock on dir/kDirLockName, made when missing, kept open (not inherited by
// programs started later) until ReleaseInstanceLock: 1 taken, 0 another live
// process holds it, -1 the directory cannot hold it (read-only, no such
// directory, a directory of that name in the way).
int LockDirectory(const QString& dir);
void ReleaseInstanceLock();
bool HoldsInstanceLock();

// ---- Serial line ----
// The driver's line error counters of an open port, in the order break, framing,
// overrun, parity, buffer overrun: false when the device keeps none
// (pseudo-terminals and many adapters).
bool LineErrorCounts(int fd, std::array<int, 5>& out);
// True when the device behind an open port has hung up or is gone.
bool HungUp(int fd);
// The program holding a device's serial lock, as "name (process n)" or
// "process n"; empty when none does.
QString SerialLockHolder(const QString& device);

// ---- Files ----
// The permission bits of the regular file path names (or links to); -1 when
// it names none.
int RegularFileMode(const QString& path);
// True when path names (or links to) a character device.
bool IsCharDevice(const QString& path);
// Why this process may not read and write a device: the owning group (its
// number when it has no name) and whether the process holds that group now
// (effective or supplementary; a group joined after this login does not count).
struct DeviceRefusal {
    bool refused = false;  // the device's mode refuses this process reading and writing it
    QString group;
    bool inGroup = false;
};
// With the process's effective ids; a missing device or one not refused gives refused == false.
DeviceRefusal CheckDeviceAccess(const QString& device);
// Gives the file open on fd the owner (where it differs and may be given) and the
// exact mode of the file at path, which it is about to replace. Nothing when
// path does not exist.
void KeepOwnerAndMode(const QString& path, int fd);
// The running executable's path, with links resolved.
QString ExecutablePath();

} // namespace Posix
