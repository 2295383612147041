// The monitor's /proc/stat reader: the input is cut in two readings, and the
// load between them, per CPU and per core, stays within 0..100.

#include "fuzz_expect.h"
#include "monitor/monitor_readings.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::size_t cut = text.find('\f');
    std::vector<CpuTicks> before, after;
    parseProcStat(text.substr(0, cut), before);
    parseProcStat(cut == std::string::npos ? text : text.substr(cut + 1), after);

    std::vector<int> cpus;
    for (const CpuTicks &ticks : after) {
        FUZZ_EXPECT(ticks.cpu >= 0);
        cpus.push_back(ticks.cpu);
        for (const CpuTicks &earlier : before)
            if (earlier.cpu == ticks.cpu)
                FUZZ_EXPECT(cpuLoadPercent(earlier, ticks) <= 100);
    }
    FUZZ_EXPECT(coreLoadPercent(before, after, cpus) <= 100);
    return 0;
}
