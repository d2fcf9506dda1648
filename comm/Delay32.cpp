#include "comm/Delay32.h"

#include <ctime>

namespace Delay32 {
namespace {
ClockFn g_clock;

uint32_t MonotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
    return uint32_t(ms);
}
} // namespace

uint32_t TickMs() { return g_clock ? g_clock() : MonotonicMs(); }

ClockFn SetClock(ClockFn clock)
{
    ClockFn old = std::move(g_clock);
    g_clock = std::move(clock);
    return old;
}

} // namespace Delay32
