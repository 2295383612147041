#include "memory_status.h"

#include <fcntl.h>
#include <unistd.h>

bool readPhysicalMemory(uint64_t &totalBytes, uint64_t &availableBytes)
{
    // MemAvailable (Linux 3.14+) estimates what can be had without swapping,
    // which is what the Windows figure of available physical memory means.
    // Once a second: one open, one read into the stack and one close. The
    // file is about 1.5 KiB; procfs hands it over whole in one read when the
    // buffer is larger, and a full buffer falls back to reading it all.
    char text[8192];
    const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t length = ::read(fd, text, sizeof text);
    ::close(fd);
    if (length <= 0)
        return false;
    if (static_cast<size_t>(length) == sizeof text)
        return readMemInfoFile("/proc/meminfo", totalBytes, availableBytes);
    return parseMemInfo(std::string_view(text, static_cast<size_t>(length)), totalBytes,
                        availableBytes);
}
