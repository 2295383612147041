// Core Temp's shared block read through CoreTempProxy under wine, published by
// the test itself under Core Temp's names.

#include "coretemp/coretemp_proxy.h"
#include "win_check.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

/// A block as Core Temp publishes it: one processor with two cores.
CoreTempSharedData sampleBlock()
{
    CoreTempSharedData block{};
    block.uiCPUCnt = 1;
    block.uiCoreCnt = 2;
    block.uiLoad[0] = 37;
    block.uiLoad[1] = 91;
    block.uiTjMax[0] = 100;
    block.fTemp[0] = 45.5f;
    block.fTemp[1] = 70.25f;
    std::strcpy(block.sCPUName, "Test CPU");
    return block;
}

/// The two blocks Core Temp publishes: the classic one, and the extended one
/// of later releases, longer, whose head is the classic block.
struct BlockKind
{
    const wchar_t *name;
    DWORD size;
    const char *label;
};
const BlockKind kClassic{kCoreTempMappingNameW, sizeof(CoreTempSharedData),
                         "CoreTempMappingObject"};
const BlockKind kExtended{kCoreTempMappingExNameW, 3 * 4096, "CoreTempMappingObjectEx"};

/// The mapping as Core Temp would create it; closed again on destruction.
class Publisher
{
public:
    explicit Publisher(DWORD size, DWORD sectionFlags = SEC_COMMIT,
                       const wchar_t *name = kCoreTempMappingNameW)
    {
        m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | sectionFlags,
                                       0, size, name);
        if (m_mapping != nullptr && sectionFlags == SEC_COMMIT)
            m_view = MapViewOfFile(m_mapping, FILE_MAP_WRITE, 0, 0, 0);
        // What follows the classic block in a longer one is not ours to read.
        if (m_view != nullptr && size > sizeof(CoreTempSharedData))
            std::memset(static_cast<char *>(m_view) + sizeof(CoreTempSharedData), 0xA5,
                        size - sizeof(CoreTempSharedData));
    }
    explicit Publisher(const BlockKind &kind) : Publisher(kind.size, SEC_COMMIT, kind.name) {}
    ~Publisher()
    {
        if (m_view != nullptr)
            UnmapViewOfFile(m_view);
        if (m_mapping != nullptr)
            CloseHandle(m_mapping);
    }
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    bool ready(bool needsView = true) const
    {
        return m_mapping != nullptr && (!needsView || m_view != nullptr);
    }
    void write(const CoreTempSharedData &block, std::size_t length = sizeof(CoreTempSharedData))
    {
        std::memcpy(m_view, &block, length);
    }
    CoreTempSharedData &block() { return *static_cast<CoreTempSharedData *>(m_view); }

private:
    HANDLE m_mapping = nullptr;
    void *m_view = nullptr;
};

// Our stand-ins for Core Temp wait for the mutex with a bound too, so that a
// reader that never releases it fails the checks below instead of hanging them.
constexpr DWORD kHolderWaitMs = 10000;

/// Whether a thread other than this one can take the mutex at once, that is,
/// nobody (the reader included) still owns it.
bool mutexFreeForOthers(HANDLE mutex)
{
    DWORD result = WAIT_FAILED;
    wincheck::join(wincheck::startThread([&] {
        result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            ReleaseMutex(mutex);
    }));
    return result == WAIT_OBJECT_0;
}

bool mappingNameExists(const wchar_t *name)
{
    return wincheck::stillExists(OpenFileMappingW(FILE_MAP_READ, FALSE, name));
}

/// Views of files or sections mapped into this process just now.
int mappedViews()
{
    int views = 0;
    const char *address = nullptr;
    MEMORY_BASIC_INFORMATION info;
    while (VirtualQuery(address, &info, sizeof info) == sizeof info) {
        if (info.Type == MEM_MAPPED && info.BaseAddress == info.AllocationBase)
            ++views;
        const char *next = static_cast<const char *>(info.BaseAddress) + info.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return views;
}

void noMappingIsNoData()
{
    CoreTempProxy proxy;
    CHECK(!mappingNameExists(kCoreTempMappingNameW) &&
              !mappingNameExists(kCoreTempMappingExNameW) && !proxy.GetData() &&
              proxy.GetCPUCount() == 0,
          "no mapping under either name gives no data");
}

void readsPublishedBlock(const BlockKind &kind)
{
    wincheck::note(std::string("block published as ") + kind.label);
    {
        Publisher publisher(kind);
        if (!CHECK(publisher.ready(), "block published"))
            return;
        publisher.write(sampleBlock());

        const int viewsBefore = mappedViews();
        CoreTempProxy proxy;
        const bool read = proxy.GetData();
        CHECK(mappedViews() == viewsBefore, "reader unmaps its view",
              std::to_string(mappedViews() - viewsBefore) + " more views mapped");
        CHECK(read && proxy.GetCPUCount() == 1, "published block is read (no mutex present)");
        CHECK(proxy.GetTemp(0) == 45.5f && proxy.GetCoreLoad(0) == 37, "core 0 is read at index 0",
              "temperature " + std::to_string(proxy.GetTemp(0)) + ", load " +
                  std::to_string(proxy.GetCoreLoad(0)));
        CHECK(proxy.GetTemp(1) == 70.25f && proxy.GetCoreLoad(1) == 91,
              "second core sits at index 1");

        // A fresh snapshot per read: a later block replaces the earlier one.
        CoreTempSharedData next = sampleBlock();
        next.fTemp[0] = 50.0f;
        publisher.write(next);
        CoreTempProxy later;
        CHECK(later.GetData() && later.GetTemp(0) == 50.0f, "each read takes the current block");
    }
    // Named objects vanish with their last handle, so a reader that leaked its
    // mapping handle would keep the name alive after the publisher is gone.
    CHECK(!mappingNameExists(kind.name), "reader keeps no handle to the mapping");
}

void waitsWhileCoreTempWrites(const BlockKind &kind)
{
    wincheck::note(std::string("block published as ") + kind.label);
    Publisher publisher(kind);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kCoreTempMutexNameW);
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!CHECK(publisher.ready() && mutex != nullptr && held != nullptr,
               "block and CoreTempMutexObject published"))
        return;
    publisher.write(sampleBlock());

    // Core Temp in the middle of a rewrite: the block is inconsistent until the
    // mutex is released, so only a reader that waited sees the finished block.
    HANDLE writer = wincheck::startThread([&] {
        WaitForSingleObject(mutex, kHolderWaitMs);
        publisher.block().fTemp[0] = -1.0f;
        publisher.block().uiLoad[0] = 0;
        SetEvent(held);
        Sleep(50);
        publisher.block().fTemp[0] = 61.25f;
        publisher.block().uiLoad[0] = 12;
        ReleaseMutex(mutex);
    });
    WaitForSingleObject(held, 30000);
    CoreTempProxy proxy;
    const bool read = proxy.GetData();
    CHECK(read && proxy.GetTemp(0) == 61.25f && proxy.GetCoreLoad(0) == 12,
          "read waits for the mutex and sees the finished block",
          "read " + std::to_string(read) + ", temperature " + std::to_string(proxy.GetTemp(0)));
    wincheck::join(writer);
    CHECK(mutexFreeForOthers(mutex), "reader releases the mutex after the copy");

    // A writer that hangs with the mutex: the read gives up after a bounded
    // wait (a wait without bound would hang this program until the script
    // kills it) and reports no data rather than a block half rewritten.
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(held);
    HANDLE hung = wincheck::startThread([&] {
        WaitForSingleObject(mutex, kHolderWaitMs);
        publisher.block().fTemp[0] = -1.0f;
        SetEvent(held);
        WaitForSingleObject(release, 30000);
        publisher.block().fTemp[0] = 45.5f;
        ReleaseMutex(mutex);
    });
    WaitForSingleObject(held, 30000);
    CoreTempProxy timedOut;
    CHECK(!timedOut.GetData() && timedOut.GetCPUCount() == 0,
          "read gives up with no data while the mutex stays held");
    SetEvent(release);
    wincheck::join(hung);
    CoreTempProxy after;
    CHECK(after.GetData() && after.GetTemp(0) == 45.5f, "read succeeds once the mutex is free");

    // Core Temp died holding the mutex: the wait reports it abandoned, which
    // still hands the mutex over; the last block it wrote is read.
    wincheck::join(wincheck::startThread([&] { WaitForSingleObject(mutex, kHolderWaitMs); }));
    CoreTempProxy abandoned;
    CHECK(abandoned.GetData() && abandoned.GetTemp(0) == 45.5f,
          "read takes an abandoned mutex and reads the block");
    CHECK(mutexFreeForOthers(mutex), "reader releases the abandoned mutex it took");

    CloseHandle(release);
    CloseHandle(held);
    CloseHandle(mutex);
    CHECK(!wincheck::stillExists(OpenMutexW(SYNCHRONIZE, FALSE, kCoreTempMutexNameW)),
          "reader keeps no handle to the mutex");
}

void classicNameComesFirst()
{
    Publisher classic(kClassic);
    Publisher extended(kExtended);
    if (!CHECK(classic.ready() && extended.ready(), "both blocks published"))
        return;
    CoreTempSharedData block = sampleBlock();
    classic.write(block);
    block.fTemp[0] = 33.0f;
    extended.write(block);
    CoreTempProxy proxy;
    const bool read = proxy.GetData();
    CHECK(read && proxy.GetTemp(0) == 45.5f, "with both names the classic block is read",
          "temperature " + std::to_string(proxy.GetTemp(0)));
}

void shortMappings()
{
    // Windows makes every section and view a whole number of pages, so a block
    // published 1000 bytes long reads as 4096 bytes, its tail zeros: the read
    // is safe, and the processor count (at byte 1540) reads 0, which the
    // sampler takes for no data.
    {
        Publisher publisher(1000);
        if (CHECK(publisher.ready(), "1000-byte mapping published")) {
            publisher.write(sampleBlock(), 1000);
            CoreTempProxy proxy;
            const bool read = proxy.GetData();
            CHECK(!read || proxy.GetCPUCount() == 0, "1000-byte mapping gives no usable data");
        }
    }
    // A section whose pages are reserved but never committed: the view exists
    // and has no readable byte. Copying from it would fault.
    {
        Publisher publisher(1000, SEC_RESERVE);
        if (CHECK(publisher.ready(false), "uncommitted mapping published")) {
            CoreTempProxy proxy;
            CHECK(!proxy.GetData() && proxy.GetCPUCount() == 0,
                  "mapping without readable bytes gives no data");
        }
    }
}

} // namespace

int main()
{
    noMappingIsNoData();
    for (const BlockKind &kind : {kClassic, kExtended}) {
        readsPublishedBlock(kind);
        waitsWhileCoreTempWrites(kind);
    }
    classicNameComesFirst();
    shortMappings();
    return wincheck::finish("tst_coretemp_proxy_win");
}
