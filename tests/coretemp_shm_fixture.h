#pragma once

// Publishes bytes at Core Temp's POSIX shared memory name, as the monitor
// does, for tests of the reader. Tests using it hold RESOURCE_LOCK coretemp.

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sampler/coretemp_shared.h"

/// Replaces the segment with `length` bytes from `bytes`; false on failure.
inline bool publishCoreTempBytes(const void *bytes, std::size_t length)
{
    const int fd = shm_open(kCoreTempShmPath, O_CREAT | O_RDWR | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < length) {
        const ssize_t n = write(fd, static_cast<const char *>(bytes) + done, length - done);
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    close(fd);
    return ok;
}

inline bool publishCoreTempBlock(const CoreTempSharedData &block)
{
    return publishCoreTempBytes(&block, sizeof block);
}

inline void removeCoreTempBlock()
{
    shm_unlink(kCoreTempShmPath);
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
