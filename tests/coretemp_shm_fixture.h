#pragma once

// Publishes bytes at Core Temp's POSIX shared memory name, as the monitor
// does, for tests of the reader. Tests using it hold RESOURCE_LOCK coretemp.

#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "coretemp/coretemp_shared.h"

/// Core Temp's segment, spelled here once for every test rather than taken
/// from the product: other publishers use this name, ours must not drift.
constexpr char kSegmentFile[] = "/dev/shm/CoreTempMappingObject";
constexpr const char *kSegmentName = kSegmentFile + 8; ///< for shm_open

/// The descriptor through which the test stands in for a running publisher:
/// readers take the segment for live data only while it is locked.
inline int &coreTempPublisherFd()
{
    static int fd = -1;
    return fd;
}

/// Removes the segment and lets go of the publisher's lock.
inline void removeCoreTempBlock()
{
    shm_unlink(kSegmentName);
    int &fd = coreTempPublisherFd();
    if (fd >= 0)
        close(fd);
    fd = -1;
}

/// Replaces the segment with `length` bytes from `bytes`, published by a live
/// publisher (the lock held until removeCoreTempBlock) or, with
/// `publisherAlive` false, left behind as by one that was killed.
inline bool publishCoreTempBytes(const void *bytes, std::size_t length, bool publisherAlive = true)
{
    removeCoreTempBlock();
    const int fd = shm_open(kSegmentName, O_CREAT | O_RDWR | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < length) {
        const ssize_t n = write(fd, static_cast<const char *>(bytes) + done, length - done);
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (ok && publisherAlive && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        coreTempPublisherFd() = fd;
        return true;
    }
    close(fd);
    return ok && !publisherAlive;
}

inline bool publishCoreTempBlock(const CoreTempSharedData &block, bool publisherAlive = true)
{
    return publishCoreTempBytes(&block, sizeof block, publisherAlive);
}

/// A block of one processor with `cores` cores: core i at 40 + i degrees and
/// 10 + i percent load.
inline CoreTempSharedData makeCoreTempBlock(unsigned int cores)
{
    CoreTempSharedData block{};
    block.uiCPUCnt = 1;
    block.uiCoreCnt = cores;
    block.uiTjMax[0] = 100;
    for (unsigned int i = 0; i < cores; ++i) {
        block.fTemp[i] = 40.0f + static_cast<float>(i);
        block.uiLoad[i] = 10 + i;
    }
    std::strncpy(block.sCPUName, "Test CPU", sizeof block.sCPUName - 1);
    return block;
}
