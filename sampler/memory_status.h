#pragma once

// Qt-free: the Windows implementation is cross-compiled and tested without Qt.

#include <cstdint>

/// Total and available physical memory in bytes; false when the platform
/// cannot tell (GlobalMemoryStatusEx failed, /proc/meminfo unreadable).
bool readPhysicalMemory(uint64_t &totalBytes, uint64_t &availableBytes);

/// Used physical memory in percent: -1 when the reading failed, 0 when the
/// total is 0, else (total - available) / total * 100 in double, stored as float.
float memoryUsagePercent();
