// The text of /proc/meminfo: parsed totals give a usage between 0 and 100.

#include "fuzz_expect.h"
#include "sampler/memory_status.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    uint64_t total = 1;
    uint64_t available = 2;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    if (!parseMemInfo(text, total, available)) {
        FUZZ_EXPECT(total == 1 && available == 2); // a failed parse changes nothing
        return 0;
    }
    FUZZ_EXPECT(total % 1024 == 0 && available % 1024 == 0);
    const float usage = memoryUsageFromTotals(total, available);
    FUZZ_EXPECT(std::isfinite(usage) && usage >= 0.0f && usage <= 100.0f);
    return 0;
}
