// The volume read alone: N reads back to back. Prints the last reading and
// what one call cost, the first (which connects) left out; exits 1 when the
// last read failed, as then it measured the failure, not the read.
//
//   bench_volume [N]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "output/system_volume.h"

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
    const int n = argc > 1 ? std::atoi(argv[1]) : 1;
    double volume = readSystemVolume();
    const double cpu = cpuMicroseconds();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i < n; ++i)
        volume = readSystemVolume();
    const std::chrono::duration<double, std::micro> wall = std::chrono::steady_clock::now() - start;
    std::printf("%g\n", volume);
    if (n > 1)
        std::printf("%d calls after the first: %.0f us wall, %.0f us CPU per call\n", n - 1,
                    wall.count() / (n - 1), (cpuMicroseconds() - cpu) / (n - 1));
    return volume < 0 ? 1 : 0;
}
