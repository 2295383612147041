#include "memory_status.h"

#include <windows.h>

static_assert(sizeof(MEMORYSTATUSEX) == 64, "GlobalMemoryStatusEx takes a 64-byte record");

bool readPhysicalMemory(uint64_t &totalBytes, uint64_t &availableBytes)
{
    MEMORYSTATUSEX status;
    ZeroMemory(&status, sizeof status);
    status.dwLength = sizeof status; // the call refuses any other length
    if (!GlobalMemoryStatusEx(&status))
        return false;
    totalBytes = status.ullTotalPhys;
    availableBytes = status.ullAvailPhys;
    return true;
}
