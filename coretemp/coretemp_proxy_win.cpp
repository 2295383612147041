#include "coretemp_proxy.h"

#include <windows.h>

namespace {

// Core Temp holds its mutex only while it rewrites the block, which takes
// microseconds. Half a second is far beyond that and still well inside the
// sampler's one-second period, so a publisher that hangs with the mutex held
// costs us that cycle only.
constexpr DWORD kMutexWaitMs = 500;

/// Bytes that can be read from the start of `view`: the committed, readable
/// pages there. Windows rounds sections and views to whole pages, so a block
/// published shorter than ours still reads as a full page (its tail zeros);
/// what this catches is a view whose pages cannot be read at all, such as a
/// section created with SEC_RESERVE and never committed, which would otherwise
/// fault in the copy.
SIZE_T readableBytes(const void *view)
{
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof info) != sizeof info)
        return 0;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0)
        return 0;
    const SIZE_T offset = static_cast<SIZE_T>(static_cast<const char *>(view) -
                                              static_cast<const char *>(info.BaseAddress));
    return info.RegionSize > offset ? info.RegionSize - offset : 0;
}

/// Copies the block while holding Core Temp's mutex, when Core Temp has one.
bool copyBlock(const void *view, SIZE_T length, CoreTempSharedData &out)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kCoreTempMutexNameW);
    if (mutex == nullptr)
        return decodeCoreTempBlock(view, length, out);

    bool copied = false;
    const DWORD wait = WaitForSingleObject(mutex, kMutexWaitMs);
    // WAIT_ABANDONED: Core Temp died while holding the mutex. We own it now,
    // and the block holds the last data it published, so read it.
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        copied = decodeCoreTempBlock(view, length, out);
        ReleaseMutex(mutex);
    }
    // On a timeout the block is being rewritten, or Core Temp hangs halfway
    // through: a copy now could pair new and old fields into a temperature
    // that was never measured. Report no data; the next cycle tries again.
    CloseHandle(mutex);
    return copied;
}

} // namespace

bool readCoreTempBlock(CoreTempSharedData &out)
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, kCoreTempMappingNameW);
    // Releases that publish only the extended block: its head is ours, and the
    // same mutex guards it.
    if (mapping == nullptr)
        mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, kCoreTempMappingExNameW);
    if (mapping == nullptr)
        return false;

    bool copied = false;
    if (const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) {
        copied = copyBlock(view, readableBytes(view), out);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return copied;
}
