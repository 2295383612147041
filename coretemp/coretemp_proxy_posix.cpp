#include "coretemp_proxy.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/retry_on_eintr.h"
#include "coretemp_block_lock_posix.h"

namespace {

/// Anything larger is not a Core Temp block (the folder is world-writable).
constexpr off_t kMaxSegmentSize = 64 * 1024;
/// Copies taken, at most, to find two that agree.
constexpr int kMaxCopies = 16;

/// pread rather than mmap: a publisher that truncates the segment while we
/// copy must give us a short read, not a SIGBUS.
std::size_t copyBlock(int fd, unsigned char *buffer, std::size_t size)
{
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n = retryOnEintr(
            [&] { return pread(fd, buffer + filled, size - filled, static_cast<off_t>(filled)); });
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    return filled;
}

} // namespace

// Each step is a rule of docs/DESIGN.md, "The Linux shared-memory protocol".
bool readCoreTempBlock(CoreTempSharedData &out)
{
    // Non-blocking: opening a FIFO at the name would wait for a writer for
    // ever. shm_open refuses symbolic links itself.
    const int fd = shm_open(kCoreTempShmPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0)
        return false;

    struct stat st
    {
    };
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxSegmentSize) {
        close(fd);
        return false;
    }

    // A segment we can lock shared is a dead publisher's: unlike a Windows
    // mapping, it outlives a publisher that was killed. Our lock lasts only
    // this call; a publisher starting meanwhile retries its own.
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        close(fd);
        return false;
    }

    // Our read lock keeps the publisher's rewrite out while we copy; two
    // copies that agree guard against a publisher that does not lock.
    if (!lockCoreTempBlock(fd, F_RDLCK)) {
        close(fd);
        return false;
    }
    unsigned char copies[2][sizeof(CoreTempSharedData)];
    bool consistent = false;
    std::size_t filled = copyBlock(fd, copies[0], sizeof copies[0]);
    for (int i = 1; i < kMaxCopies && filled == sizeof copies[0] && !consistent; ++i) {
        unsigned char *previous = copies[(i - 1) % 2];
        unsigned char *current = copies[i % 2];
        filled = copyBlock(fd, current, sizeof copies[0]);
        consistent =
            filled == sizeof copies[0] && std::memcmp(previous, current, sizeof copies[0]) == 0;
    }
    close(fd);
    return consistent && decodeCoreTempBlock(copies[0], sizeof copies[0], out);
}
