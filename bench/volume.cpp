// The volume read alone: N reads back to back; prints the last. Exits 0 when
// it reads the benchmark's null sink at 30 % (as the record truncates it).
//
//   bench_volume N
#include <cstdio>
#include <cstdlib>

#include "output/system_volume.h"

int main(int argc, char **argv)
{
    double volume = -1;
    for (int i = 0, n = argc > 1 ? std::atoi(argv[1]) : 1; i < n; ++i)
        volume = readSystemVolume();
    std::printf("%g\n", volume);
    return static_cast<int>(volume) == 30 ? 0 : 1;
}
