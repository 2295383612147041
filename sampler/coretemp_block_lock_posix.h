#pragma once

// The byte-range lock that keeps a copy of the Linux segment whole. The
// publisher holds a write lock on the block's bytes while it rewrites them and
// a reader a read lock while it copies them, so a copy never holds two cycles.
// These are open-file-description locks: independent of the flock that says a
// publisher lives, and of the lock starting publishers take beyond the block.

#include <cerrno>
#include <fcntl.h>
#include <time.h>

#include "sampler/coretemp_shared.h"

/// Takes (F_RDLCK, F_WRLCK) or drops (F_UNLCK) the lock on the block of `fd`,
/// trying for about `attempts` tenths of a millisecond: the other side holds
/// it for microseconds. False when it stayed taken or `fd` refuses locks.
inline bool lockCoreTempBlock(int fd, short type, int attempts = 100)
{
    struct flock lock
    {
    };
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = sizeof(CoreTempSharedData);
    for (int attempt = 0;; ++attempt) {
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
            return true;
        if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || attempt >= attempts)
            return false;
        const timespec pause{0, 100 * 1000L};
        nanosleep(&pause, nullptr);
    }
}
