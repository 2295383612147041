#include "memory_status.h"

bool readPhysicalMemory(uint64_t &totalBytes, uint64_t &availableBytes)
{
    // MemAvailable (Linux 3.14+) estimates what can be had without swapping,
    // which is what the Windows figure of available physical memory means.
    return readMemInfoFile("/proc/meminfo", totalBytes, availableBytes);
}
