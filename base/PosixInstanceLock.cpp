// Posix: the single-instance lock, in the application directory or a place beside it.
#include "base/Posix.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Posix {
namespace {

// ---- Single-instance lock ----
std::unique_ptr<QLockFile> g_instanceLock;
int g_dirLock = -1;  // descriptor of the application directory's lock file

} // namespace

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

} // namespace Posix
