#include "comm/DeviceAccess.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace DeviceAccess {
namespace {

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

Refusal Check(const QString& device)
{
    Refusal r;
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

QString Hint(const QString& device)
{
    const Refusal r = Check(device);
    if (!r.refused)
        return QString();
    QString hint = QStringLiteral(": %1 belongs to the group %2").arg(device, r.group);
    if (!r.inGroup)
        hint += QStringLiteral("; add your user to the group %1, then log in again").arg(r.group);
    return hint;
}

} // namespace DeviceAccess
