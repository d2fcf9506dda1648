// Posix: who holds a serial device, by its serial lock or by a search of /proc.
#include "base/Posix.h"

#include "base/OutsideText.h"

#include <QFile>
#include <QLockFile>
#include <QStringList>
#include <cctype>
#include <dirent.h>
#include <unistd.h>

namespace Posix {
namespace {

QString g_procRoot;

} // namespace

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

} // namespace Posix
