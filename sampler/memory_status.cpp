#include "memory_status.h"

#include <fstream>
#include <iterator>
#include <limits>

namespace {

/// Value of the line "<key>: <digits> kB", converted to bytes.
bool meminfoField(std::string_view text, std::string_view key, uint64_t &bytes)
{
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = text.size();
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;

        if (line.size() <= key.size() || line.substr(0, key.size()) != key ||
            line[key.size()] != ':')
            continue;

        std::size_t pos = key.size() + 1;
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        const std::size_t digitsStart = pos;
        uint64_t kib = 0;
        constexpr uint64_t maxKib = std::numeric_limits<uint64_t>::max() / 1024;
        while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
            const uint64_t digit = static_cast<uint64_t>(line[pos] - '0');
            if (kib > (maxKib - digit) / 10)
                return false; // would not fit in bytes
            kib = kib * 10 + digit;
            ++pos;
        }
        if (pos == digitsStart)
            return false;
        std::string_view unit = line.substr(pos);
        while (!unit.empty() && (unit.front() == ' ' || unit.front() == '\t'))
            unit.remove_prefix(1);
        while (!unit.empty() && (unit.back() == ' ' || unit.back() == '\r'))
            unit.remove_suffix(1);
        if (unit != "kB")
            return false;
        bytes = kib * 1024;
        return true;
    }
    return false;
}

} // namespace

bool parseMemInfo(std::string_view text, uint64_t &totalBytes, uint64_t &availableBytes)
{
    uint64_t total = 0;
    uint64_t available = 0;
    if (!meminfoField(text, "MemTotal", total) || !meminfoField(text, "MemAvailable", available))
        return false;
    totalBytes = total;
    availableBytes = available;
    return true;
}

bool readMemInfoFile(const std::string &path, uint64_t &totalBytes, uint64_t &availableBytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return false;
    return parseMemInfo(text, totalBytes, availableBytes);
}

float memoryUsageFromTotals(uint64_t totalBytes, uint64_t availableBytes)
{
    if (totalBytes == 0)
        return 0.0f;
    // The two counts are not read atomically; never let the difference wrap.
    const uint64_t used = availableBytes > totalBytes ? 0 : totalBytes - availableBytes;
    const double usage = static_cast<double>(used) / static_cast<double>(totalBytes) * 100.0;
    return static_cast<float>(usage);
}

float memoryUsagePercent(bool (*read)(uint64_t &totalBytes, uint64_t &availableBytes))
{
    uint64_t total = 0;
    uint64_t available = 0;
    if (!read(total, available))
        return -1.0f;
    return memoryUsageFromTotals(total, available);
}

float memoryUsagePercent()
{
    return memoryUsagePercent(readPhysicalMemory);
}
