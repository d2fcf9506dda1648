#pragma once
// The pieces of the program that speak to the operating system below Qt: stop
// signals, the single-instance lock, a serial line's error counters and hang-up,
// who holds a serial lock, who may use a device, the owner and mode of a saved file, the executable.
// One topic a file: PosixSignals.cpp, PosixInstanceLock.cpp, PosixSerial.cpp
// (error counters, hang-up, low latency), PosixHolders.cpp (serial lock, /proc),
// PosixDevices.cpp, PosixFiles.cpp, PosixSysfs.cpp.
#include <QDeadlineTimer>
#include <QString>
#include <array>
#include <functional>

class QObject;
struct serial_struct;

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
// The other processes that hold device open, found in /proc/*/fd (those
// this user may look into), as "name (process n)" joined by ", "; names are
// shown by OutsideText's rule for a log line. The search ends at the deadline
// or after maxProcesses processes, with what it found so far. It takes about
// 0.1 ms a process: it may run on a thread of its own.
struct Openers {
    QString names;  // empty when none was found
    bool complete = true;  // false when a bound ended the search
};
Openers DeviceOpeners(const QString& device, const QDeadlineTimer& deadline, int maxProcesses);
// Tests: /proc is looked for under this root instead; an empty root restores "/proc".
void SetProcRoot(const QString& root);

// ---- Files ----
// A file that settings name, read without ever waiting: opened non-blocking
// (a FIFO does not hold the caller until a writer comes), then taken only when
// what was opened is a regular file of at most maxBytes. Ok: bytes and the
// permission bits in mode. Else why, worded the same for every file:
// "which cannot be read: <reason>", "which is no regular file",
// "which is <n> bytes long; it may hold at most <maxBytes>".
struct SmallFile {
    bool ok = false;
    QByteArray bytes;
    int mode = 0;
    QString why;
};
SmallFile ReadSmallFile(const QString& path, qint64 maxBytes);
// Empty when path names (or links to) a character device; else why not, to
// follow the path: "does not exist" (a link that leads nowhere too), "is not
// a character device", or "cannot be examined: <reason>". missing, when
// given, is set when it does not exist.
QString CharDeviceRefusal(const QString& path, bool* missing = nullptr);
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
// The name of the user this process runs for (its real id); the number when
// the user database has no name for it.
QString UserName();

// ---- Low latency ----
// A USB adapter holds received bytes until its latency timer runs out (16 ms
// on FTDI chips); in low-latency mode the driver hands them on at once.
// The ioctl these use (TIOCGSERIAL, TIOCSSERIAL), as ::ioctl: 0, or -1 with
// errno set. Tests give a fake; an empty function restores the real one.
using SerialIoctl = std::function<int(int fd, unsigned long request, serial_struct* info)>;
void SetSerialIoctl(SerialIoctl ioctl);
// Asks the driver of the open line fd for low-latency mode. 0 when it took
// it or had it, with the driver's flags before in *previous; else the errno
// of the refusal: ENOTTY from a line without a serial driver (a pseudo-terminal).
int AskLowLatency(int fd, int* previous);
// Gives the driver back the flags AskLowLatency found: 0, or the errno.
int RestoreSerialFlags(int fd, int flags);

// ---- Serial devices in sysfs ----
// Sysfs is read under this root: "/sys" unless a test gives a tree of its own
// (an empty root restores "/sys").
void SetSysfsRoot(const QString& root);
QString SysfsRoot();
// What sysfs says of the tty named `tty` (ttyUSB0, ttyACM0, ttyS0).
struct TtyInfo {
    QString driver;         // of the device behind the tty: ftdi_sio, cp210x, cdc_acm, serial...
    QString usbPath;        // the USB interface it hangs on, as 1-2.2:1.0; empty when not on USB
    QString usbSerial;      // the adapter's serial number exactly as it reports it
    int latencyTimer = -1;  // milliseconds; -1 where the driver keeps none
};
TtyInfo TtyInSysfs(const QString& tty);

} // namespace Posix
