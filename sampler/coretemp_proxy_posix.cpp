#include "coretemp_proxy.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

bool readCoreTempBlock(CoreTempSharedData &out)
{
    const int fd = shm_open(kCoreTempShmPath, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;

    // The publisher holds an exclusive lock on the segment for as long as it
    // runs. Unlike a Windows mapping, the segment outlives a publisher that was
    // killed; without this test we would report its last readings for ever.
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        close(fd);
        return false;
    }

    // pread rather than mmap: a publisher that truncates the segment while we
    // copy must give us a short read, not a SIGBUS.
    unsigned char buffer[sizeof(CoreTempSharedData)];
    std::size_t filled = 0;
    while (filled < sizeof buffer) {
        const ssize_t n =
            pread(fd, buffer + filled, sizeof buffer - filled, static_cast<off_t>(filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    close(fd);
    return decodeCoreTempBlock(buffer, filled, out);
}
