#pragma once

// One reading per platform file: docs/DESIGN.md, "Platform contract".

#include <cstdint>
#include <string>
#include <string_view>

/// Total and available physical memory in bytes; false when the platform
/// cannot tell (GlobalMemoryStatusEx failed, /proc/meminfo unreadable).
bool readPhysicalMemory(uint64_t &totalBytes, uint64_t &availableBytes);

/// Used physical memory in percent: -1 when the reading failed, 0 when the
/// total is 0, else (total - available) / total * 100 in double, stored as float.
float memoryUsagePercent();

/// memoryUsagePercent with the platform reading replaced, for tests.
float memoryUsagePercent(bool (*read)(uint64_t &totalBytes, uint64_t &availableBytes));

/// The arithmetic of memoryUsagePercent for a successful reading: 0 when the
/// total is 0; available memory above the total counts as nothing used.
float memoryUsageFromTotals(uint64_t totalBytes, uint64_t availableBytes);

/// Takes MemTotal and MemAvailable (kB) out of the text of /proc/meminfo, in
/// bytes; false when either is missing or malformed.
bool parseMemInfo(std::string_view text, uint64_t &totalBytes, uint64_t &availableBytes);

/// Reads a file in the format of /proc/meminfo and parses it as above.
bool readMemInfoFile(const std::string &path, uint64_t &totalBytes, uint64_t &availableBytes);
