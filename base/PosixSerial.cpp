// Posix: an open serial line's error counters, its hang-up and the driver's low-latency mode.
#include "base/Posix.h"

#include <cerrno>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <utility>

namespace Posix {
namespace {

SerialIoctl g_serialIoctl;

int CallSerialIoctl(int fd, unsigned long request, serial_struct* info)
{
    errno = 0;
    const int result = g_serialIoctl ? g_serialIoctl(fd, request, info) : ::ioctl(fd, request, info);
    if (result != 0 && errno == 0)
        errno = EIO;  // a fake that forgot errno still reads as a refusal
    return result;
}

} // namespace

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

} // namespace Posix
