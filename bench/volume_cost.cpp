// What one readSystemVolume call costs, for docs/BENCHMARKS.md: the first
// call (which connects) is left out, then CALLS calls are timed.
//   bench_volume_cost [CALLS]
#include "output/system_volume.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double cpuMicroseconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

} // namespace

int main(int argc, char **argv)
{
    const int calls = argc > 1 ? std::atoi(argv[1]) : 100;
    double volume = readSystemVolume();
    const double cpu = cpuMicroseconds();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i)
        volume = readSystemVolume();
    const std::chrono::duration<double, std::micro> wall = std::chrono::steady_clock::now() - start;
    if (calls > 0)
        std::printf("%d calls: %.0f us wall, %.0f us CPU per call; last reading %g\n", calls,
                    wall.count() / calls, (cpuMicroseconds() - cpu) / calls, volume);
    return 0;
}
