// The /proc scan that names the program holding a port: how long one scan
// takes with the processes now running (start some first, e.g. 5,000 of one
// user), and how many /proc entries it went through.
//   bench_holder [DEVICE] [ROUNDS]
#include "base/Posix.h"
#include "bench/BenchUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <climits>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString device = args.value(1, QStringLiteral("/dev/pts/no-such-terminal"));
    const int rounds = std::max(1, args.value(2, QStringLiteral("5")).toInt());
    const qsizetype processes = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs).size();
    std::vector<double> ms;
    QString found;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Bench::Clock::now();
        found = Posix::DeviceOpeners(device, QDeadlineTimer::Forever, INT_MAX).names;
        ms.push_back(Bench::Micros(Bench::Clock::now() - start) / 1000);
    }
    std::printf("holder scan of %lld processes for %s: median %.1f ms, slowest %.1f ms (%d rounds); found: %s\n",
                static_cast<long long>(processes), qPrintable(device), Bench::Median(ms),
                *std::max_element(ms.begin(), ms.end()), rounds, found.isEmpty() ? "none" : qPrintable(found));
    return 0;
}
