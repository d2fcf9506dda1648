#include "base/Posix.h"

#include "base/OutsideText.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStringList>
#include <csignal>
#include <vector>
#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <cstring>
#include <grp.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <memory>
#include <utility>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Posix {
namespace {

// ---- Stop signals ----
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_stopSignal = 0;

void OnSignal(int sig)
{
    if (g_stopSignal == 0)
        g_stopSignal = sig;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

void DrainSignalPipe()
{
    char buf[16];
    while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
    }
}

// ---- Single-instance lock ----
std::unique_ptr<QLockFile> g_instanceLock;
int g_dirLock = -1;  // descriptor of the application directory's lock file

// ---- Low latency and sysfs ----
SerialIoctl g_serialIoctl;
QString g_sysfsRoot;
QString g_procRoot;

int CallSerialIoctl(int fd, unsigned long request, serial_struct* info)
{
    errno = 0;
    const int result = g_serialIoctl ? g_serialIoctl(fd, request, info) : ::ioctl(fd, request, info);
    if (result != 0 && errno == 0)
        errno = EIO;  // a fake that forgot errno still reads as a refusal
    return result;
}

// A small sysfs attribute without its line end; empty when there is none.
// A sysfs attribute is at most a page; a USB string of 126 UTF-16 units takes up to 378 bytes of UTF-8.
constexpr qint64 kSysfsPage = 4096;

QString ReadAttribute(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = f.read(kSysfsPage);
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    return QString::fromUtf8(bytes);
}

// ---- Device access ----
QString GroupName(gid_t gid)
{
    std::vector<char> buf(4096);
    group g{};
    group* found = nullptr;
    while (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return found ? QString::fromLocal8Bit(found->gr_name) : QString::number(gid);
}

// getgroups, not the group file: a user added to the group after logging in
// is listed there but this process still lacks the group.
bool HoldsGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = ::getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[size_t(i)] == gid)
            return true;
    return false;
}

} // namespace

void WatchStopSignals(QObject* parent, std::function<void()> onStop)
{
    g_stopSignal = 0;
    if (g_signalPipe[0] >= 0) {
        DrainSignalPipe();
        return;
    }
    // Neither end blocks: the handler must never wait, nor the loop's read.
    if (::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [onStop = std::move(onStop)] {
        DrainSignalPipe();
        onStop();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

int StopSignal() { return g_stopSignal; }

QString SignalName(int sig)
{
    switch (sig) {
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGHUP: return QStringLiteral("SIGHUP");
    default: return QStringLiteral("signal %1").arg(sig);
    }
}

bool TakeInstanceLock(const QString& appPath, QString* problem)
{
    problem->clear();
    ReleaseInstanceLock();
    g_instanceLock.reset();  // a lock taken before is let go, not competed with
    if (const int held = LockDirectory(appPath); held >= 0)
        return held == 1;
    const QString key = QString::fromLatin1(
        QCryptographicHash::hash(appPath.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    QString first = qEnvironmentVariable("ORVANE_LOCK_DIR");
    if (first.isEmpty())
        first = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // The temporary directory is shared by all users: the user's id keeps their locks apart.
    const QString temp = QDir::tempPath();
    QStringList places;
    if (!first.isEmpty())
        places << first + QStringLiteral("/orvane-") + key + QStringLiteral(".lock");
    if (!temp.isEmpty())
        places << temp + QStringLiteral("/orvane-") + QString::number(::getuid()) + QLatin1Char('-')
                + key + QStringLiteral(".lock");
    for (const QString& place : std::as_const(places)) {
        auto lock = std::make_unique<QLockFile>(place);
        lock->setStaleLockTime(0);  // only a live process counts
        // A lock left by a crashed copy is stale: its process is gone.
        if (lock->tryLock(0)
            || (lock->error() == QLockFile::LockFailedError && lock->removeStaleLockFile()
                && lock->tryLock(0))) {
            g_instanceLock = std::move(lock);
            return true;
        }
        if (lock->error() == QLockFile::LockFailedError)
            return false;  // another live copy holds it
        // This place cannot hold a lock (read-only, immutable, no such directory): the next.
    }
    g_instanceLock.reset();
    QStringList where{QStringLiteral("in ") + appPath};
    for (const QString& place : std::as_const(places))
        where << QStringLiteral("in ") + QFileInfo(place).path();
    if (first.isEmpty())
        where << QStringLiteral("no runtime directory");
    if (temp.isEmpty())  // TMPDIR names no directory
        where << QStringLiteral("no temporary directory");
    *problem = QStringLiteral("the single-instance lock could not be created (")
        + where.join(QStringLiteral("; "))
        + QStringLiteral("), so a second copy of the program cannot be detected");
    return true;
}

int LockDirectory(const QString& dir)
{
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + QLatin1String(kDirLockName));
    // Read-only is enough for flock: a file another user made still locks.
    int fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? 0 : -1;
    }
    if (g_dirLock >= 0)
        ::close(g_dirLock);
    g_dirLock = fd;
    return 1;
}

void ReleaseInstanceLock()
{
    if (g_dirLock >= 0)
        ::close(std::exchange(g_dirLock, -1));
    if (g_instanceLock)
        g_instanceLock->unlock();
}

bool HoldsInstanceLock() { return g_dirLock >= 0 || (g_instanceLock && g_instanceLock->isLocked()); }

bool LineErrorCounts(int fd, std::array<int, 5>& out)
{
    serial_icounter_struct ic{};
    if (fd < 0 || ::ioctl(fd, TIOCGICOUNT, &ic) != 0)
        return false;
    out = {ic.brk, ic.frame, ic.overrun, ic.parity, ic.buf_overrun};
    return true;
}

bool HungUp(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// The serial layer names the lock "LCK.." + the path under /dev with "/" as
// "_", in the first of these directories that it may use.
QString SerialLockHolder(const QString& device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char* dir : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp",
                            "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
        const QLockFile lock(QLatin1String(dir) + QStringLiteral("/LCK..") + name);
        qint64 pid = 0;
        QString host;
        QString app;
        if (lock.getLockInfo(&pid, &host, &app))
            return app.isEmpty() ? QStringLiteral("process %1").arg(pid)
                                 : QStringLiteral("%1 (process %2)").arg(OutsideText::For(OutsideText::Target::Log, app)).arg(pid);
    }
    return QString();
}

Openers DeviceOpeners(const QString& device, const QDeadlineTimer& deadline, int maxProcesses)
{
    Openers o;
    const QByteArray root = QFile::encodeName(g_procRoot.isEmpty() ? QStringLiteral("/proc") : g_procRoot);
    const QByteArray target = QFile::encodeName(device);
    const QByteArray self = QByteArray::number(::getpid());
    DIR* proc = ::opendir(root.constData());
    if (!proc)
        return o;
    QStringList found;
    int seen = 0;
    // Plain readdir and readlinkat: a user with thousands of processes makes
    // this some hundred thousand links to read.
    while (const dirent* p = ::readdir(proc)) {
        if (!std::isdigit(uchar(p->d_name[0])) || self == p->d_name)
            continue;
        if (++seen > maxProcesses || deadline.hasExpired()) {
            o.complete = false;
            break;
        }
        DIR* fds = ::opendir((root + '/' + p->d_name + "/fd").constData());
        if (!fds)
            continue;
        bool holds = false;
        while (const dirent* f = ::readdir(fds)) {
            char buf[4096];
            const ssize_t n = f->d_name[0] == '.' ? -1 : ::readlinkat(::dirfd(fds), f->d_name, buf, sizeof buf);
            if (n == target.size() && target == QByteArrayView(buf, n)) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds)
            continue;
        // A process names itself: its name may hold line breaks, escapes, any byte.
        QFile comm(QFile::decodeName(root + '/' + p->d_name + "/comm"));
        QByteArray name = comm.open(QIODevice::ReadOnly) ? comm.read(64) : QByteArray("?");
        if (name.endsWith('\n'))
            name.chop(1);
        found << QStringLiteral("%1 (process %2)")
                     .arg(OutsideText::ForBytes(OutsideText::Target::Log, name), QString::fromLatin1(p->d_name));
    }
    ::closedir(proc);
    o.names = found.join(QStringLiteral(", "));
    return o;
}

void SetProcRoot(const QString& root) { g_procRoot = root; }

SmallFile ReadSmallFile(const QString& path, qint64 maxBytes)
{
    SmallFile f;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        f.why = QStringLiteral("which cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return f;
    }
    const auto done = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        f.why = QStringLiteral("which is no regular file");
        return f;
    }
    // Read one byte past the limit: a file that grew since fstat is refused too.
    QByteArray bytes(qsizetype(std::min<qint64>(std::max<qint64>(st.st_size, 0), maxBytes) + 1), Qt::Uninitialized);
    qint64 got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            f.why = QStringLiteral("which cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return f;
        }
        if (n == 0)
            break;
        got += n;
        if (got == bytes.size() && got <= maxBytes)
            bytes.resize(std::min<qsizetype>(bytes.size() * 2, qsizetype(maxBytes) + 1));
    }
    if (got > maxBytes || st.st_size > maxBytes) {
        f.why = QStringLiteral("which is %1 bytes long; it may hold at most %2")
                    .arg(std::max<qint64>(st.st_size, got))
                    .arg(maxBytes);
        return f;
    }
    bytes.truncate(qsizetype(got));
    f.bytes = std::move(bytes);
    f.mode = int(st.st_mode & 07777);
    f.ok = true;
    return f;
}

QString CharDeviceRefusal(const QString& path, bool* missing)
{
    struct stat st {};
    const bool failed = ::stat(QFile::encodeName(path).constData(), &st) != 0;
    // A file where a folder should be: nothing of that name can exist.
    const bool gone = failed && (errno == ENOENT || errno == ENOTDIR);
    if (missing)
        *missing = gone;
    if (failed)
        return gone ? QStringLiteral("does not exist")
                    : QStringLiteral("cannot be examined: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    return S_ISCHR(st.st_mode) ? QString() : QStringLiteral("is not a character device");
}

bool IsCharDevice(const QString& path) { return CharDeviceRefusal(path).isEmpty(); }

void KeepOwnerAndMode(const QString& path, int fd)
{
    // Root may give a file back to its owner; anyone else may not, and keeps it.
    // Owner first: a change of owner clears the set-id bits.
    struct stat old {};
    if (::stat(QFile::encodeName(path).constData(), &old) != 0)
        return;
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        [[maybe_unused]] const int result = ::fchown(fd, old.st_uid, old.st_gid);
    }
    [[maybe_unused]] const int result = ::fchmod(fd, old.st_mode & 07777);
}

DeviceRefusal CheckDeviceAccess(const QString& device)
{
    DeviceRefusal r;
    const QByteArray path = QFile::encodeName(device);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return r;
    // Effective ids, as open() uses them; a held lock or a busy device is no refusal.
    if (::faccessat(AT_FDCWD, path.constData(), R_OK | W_OK, AT_EACCESS) == 0 || errno != EACCES)
        return r;
    r.refused = true;
    r.group = GroupName(st.st_gid);
    r.inGroup = HoldsGroup(st.st_gid);
    return r;
}

QString ExecutablePath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString UserName()
{
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return found ? QString::fromLocal8Bit(found->pw_name) : QString::number(::getuid());
}

void SetSerialIoctl(SerialIoctl ioctl) { g_serialIoctl = std::move(ioctl); }

int AskLowLatency(int fd, int* previous)
{
    serial_struct info{};
    if (CallSerialIoctl(fd, TIOCGSERIAL, &info) != 0)
        return errno;
    *previous = info.flags;
    if (info.flags & ASYNC_LOW_LATENCY)
        return 0;
    info.flags |= ASYNC_LOW_LATENCY;
    return CallSerialIoctl(fd, TIOCSSERIAL, &info) != 0 ? errno : 0;
}

int RestoreSerialFlags(int fd, int flags)
{
    serial_struct info{};
    if (CallSerialIoctl(fd, TIOCGSERIAL, &info) != 0)
        return errno;
    // Only the bit this program set: whatever else changed meanwhile stays.
    const int wanted = (info.flags & ~ASYNC_LOW_LATENCY) | (flags & ASYNC_LOW_LATENCY);
    if (wanted == info.flags)
        return 0;
    info.flags = wanted;
    return CallSerialIoctl(fd, TIOCSSERIAL, &info) != 0 ? errno : 0;
}

void SetSysfsRoot(const QString& root) { g_sysfsRoot = root; }

QString SysfsRoot() { return g_sysfsRoot.isEmpty() ? QStringLiteral("/sys") : g_sysfsRoot; }

TtyInfo TtyInSysfs(const QString& tty)
{
    TtyInfo t;
    if (tty.isEmpty() || tty.contains(QLatin1Char('/')) || tty.startsWith(QLatin1Char('.')))
        return t;
    // class/tty/<tty>/device leads to the port's device: the usb-serial port of
    // an adapter, the USB interface of a CDC-ACM device, the UART's platform device.
    const QString device = QFileInfo(SysfsRoot() + QStringLiteral("/class/tty/") + tty + QStringLiteral("/device"))
                               .canonicalFilePath();
    if (device.isEmpty())
        return t;
    const QFileInfo driver(device + QStringLiteral("/driver"));
    if (driver.exists())
        t.driver = QFileInfo(driver.canonicalFilePath()).fileName();
    bool ok = false;
    const int latency = ReadAttribute(device + QStringLiteral("/latency_timer")).toInt(&ok);
    if (ok)
        t.latencyTimer = latency;
    // Upwards, the first USB interface: <bus>-<ports>:<configuration>.<interface>;
    // the USB device above it holds the serial number.
    static const QRegularExpression usbInterface(QStringLiteral("^[0-9]+-[0-9.]+:[0-9]+\\.[0-9]+$"));
    for (QString p = device; p.size() > 1; p = QFileInfo(p).path()) {
        const QString name = QFileInfo(p).fileName();
        if (usbInterface.match(name).hasMatch()) {
            t.usbPath = name;
            t.usbSerial = ReadAttribute(QFileInfo(p).path() + QStringLiteral("/serial"));
            break;
        }
    }
    return t;
}

} // namespace Posix
