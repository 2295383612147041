#pragma once

// The byte-range lock that keeps a copy of the Linux segment whole: the
// publisher's write lock and the reader's read lock of docs/DESIGN.md, "The
// Linux shared-memory protocol". Open-file-description locks, independent of
// the flock that says a publisher lives.

#include <cerrno>
#include <fcntl.h>
#include <time.h>

#include "coretemp/coretemp_shared.h"

/// Takes (F_RDLCK, F_WRLCK) or drops (F_UNLCK) an open-file-description
/// lock on `length` bytes of `fd` from `start`, trying `attempts` more times
/// `pauseNs` apart while another holds it. False when it stayed taken or
/// `fd` refuses locks.
inline bool lockSegmentBytes(int fd, short type, off_t start, off_t length, long attempts,
                             long pauseNs)
{
    struct flock lock
    {
    };
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    for (long attempt = 0;; ++attempt) {
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
            return true;
        if ((errno != EAGAIN && errno != EACCES && errno != EINTR) || attempt >= attempts)
            return false;
        const timespec pause{0, pauseNs};
        nanosleep(&pause, nullptr);
    }
}

/// The lock on the block itself, tried for about `attempts` tenths of a
/// millisecond: the other side holds it for microseconds.
inline bool lockCoreTempBlock(int fd, short type, long attempts = 100)
{
    return lockSegmentBytes(fd, type, 0, sizeof(CoreTempSharedData), attempts, 100 * 1000L);
}
