#pragma once
// Timing helpers shared by the benchmarks.
#include <QString>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <sched.h>
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

// Says on standard error, under the benchmark's name, why it could not
// measure; the exit code.
inline int Fail(const char* what, const QString& why = QString())
{
    std::fprintf(stderr, "%s: %s%s%s\n", program_invocation_short_name, what, why.isEmpty() ? "" : ": ",
                 qPrintable(why));
    return 1;
}

// Keeps this process, and every process it starts from now on, on the CPU it
// runs on, so that a round trip is not timed across CPUs. False when refused.
inline bool KeepToOneCpu()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
}

} // namespace Bench
