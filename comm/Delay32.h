#pragma once
// Delay32, the millisecond clock. Tests may replace it to make time jump or wrap.
#include <cstdint>
#include <functional>

namespace Delay32 {

// 32-bit millisecond count; wraps around after about 49.7 days.
uint32_t TickMs();

using ClockFn = std::function<uint32_t()>;
// An empty function restores the system clock. Returns the previous one.
ClockFn SetClock(ClockFn clock);

} // namespace Delay32
