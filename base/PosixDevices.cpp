// Posix: character devices and who may use them: the owning group, whether
// this process holds it, the user's name.
#include "base/Posix.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Posix {
namespace {

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

QString UserName()
{
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return found ? QString::fromLocal8Bit(found->pw_name) : QString::number(::getuid());
}

} // namespace Posix
