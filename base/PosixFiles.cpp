// Posix: a small file read without waiting, a saved file's owner and mode, the executable's path.
#include "base/Posix.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Posix {

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

QString ExecutablePath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

} // namespace Posix
