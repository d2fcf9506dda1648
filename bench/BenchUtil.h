#pragma once
// Timing helpers shared by the benchmarks.
#include <algorithm>
#include <chrono>
#include <vector>

namespace Bench {

using Clock = std::chrono::steady_clock;

inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace Bench
