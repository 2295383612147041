// The monitor's clock and topology readers: every topology /proc/cpuinfo
// gives fills Core Temp's block in whole packages of whole cores, and every
// clock, from cpuinfo or from a cpufreq file, is finite and positive.

#include "fuzz_expect.h"
#include "monitor/monitor_readings.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const CpuTopology topology =
        parseCpuInfo(std::string(reinterpret_cast<const char *>(data), size));
    FUZZ_EXPECT(topology.packages >= 1 && topology.coresPerPackage >= 1);
    FUZZ_EXPECT(topology.coreCpus.size() ==
                std::size_t{topology.packages} * topology.coresPerPackage);
    FUZZ_EXPECT(std::isfinite(topology.mhz) && topology.mhz >= 0.0);
    double mhz = 0.0;
    if (parseKilohertz(std::string(reinterpret_cast<const char *>(data), size), mhz))
        FUZZ_EXPECT(std::isfinite(mhz) && mhz > 0.0);
    return 0;
}
