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
    const std::string text(reinterpret_cast<const char *>(data), size);
    const CpuTopology topology = parseCpuInfo(text);
    FUZZ_EXPECT(topology.packages >= 1 && topology.coresPerPackage >= 1);
    FUZZ_EXPECT(topology.coreCpus.size() ==
                std::size_t{topology.packages} * topology.coresPerPackage);
    double mhz = parseCpuInfoMhz(text);
    FUZZ_EXPECT(std::isfinite(mhz) && mhz >= 0.0);
    if (parseKilohertz(text, mhz))
        FUZZ_EXPECT(std::isfinite(mhz) && mhz > 0.0);
    return 0;
}
