// Physical memory through GlobalMemoryStatusEx, under wine.

#include "sampler/memory_status.h"
#include "win_check.h"

#include <windows.h>

#include <string>

int main()
{
    uint64_t total = 0;
    uint64_t available = 0;
    const bool read = readPhysicalMemory(total, available);
    CHECK(read && total > 0 && available <= total, "physical memory totals are read",
          "total " + std::to_string(total) + ", available " + std::to_string(available));

    MEMORYSTATUSEX status;
    ZeroMemory(&status, sizeof status);
    status.dwLength = sizeof status;
    GlobalMemoryStatusEx(&status);
    CHECK(total == status.ullTotalPhys, "the total is the system's physical memory",
          std::to_string(total) + " against " + std::to_string(status.ullTotalPhys));

    const float usage = memoryUsagePercent();
    CHECK(usage > 0.0f && usage <= 100.0f, "memory usage lies above 0 and at most 100",
          "usage " + std::to_string(usage));
    return wincheck::finish("tst_memory_status_win");
}
