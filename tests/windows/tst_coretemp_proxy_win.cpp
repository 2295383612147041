// Core Temp's shared block read through CoreTempProxy under wine, published by
// the test itself under Core Temp's names.

#include <QTest>

#include <windows.h>

#include <cstring>
#include <thread>

#include "coretemp/coretemp_proxy.h"

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

/// The mapping as Core Temp would create it; closed again on destruction.
class Publisher
{
public:
    explicit Publisher(DWORD size, const wchar_t *name = kCoreTempMappingNameW,
                       DWORD sectionFlags = SEC_COMMIT)
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
    ~Publisher()
    {
        if (m_view != nullptr)
            UnmapViewOfFile(m_view);
        if (m_mapping != nullptr)
            CloseHandle(m_mapping);
    }
    Q_DISABLE_COPY(Publisher)

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
    std::thread([&] {
        result = WaitForSingleObject(mutex, 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            ReleaseMutex(mutex);
    }).join();
    return result == WAIT_OBJECT_0;
}

/// Whether `handle`, just returned by an Open... call, names an object that
/// still exists (the handle is closed again). Named objects vanish with their
/// last handle, so a reader that leaked one would keep the name alive.
bool stillExists(HANDLE handle)
{
    if (handle != nullptr)
        CloseHandle(handle);
    return handle != nullptr;
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

/// The two blocks Core Temp publishes: the classic one, and the extended one
/// of later releases, longer, whose head is the classic block.
void blockKinds()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::newRow("CoreTempMappingObject")
        << QString::fromWCharArray(kCoreTempMappingNameW) << int(sizeof(CoreTempSharedData));
    QTest::newRow("CoreTempMappingObjectEx")
        << QString::fromWCharArray(kCoreTempMappingExNameW) << 3 * 4096;
}

} // namespace

class TestCoreTempProxyWin : public QObject
{
    Q_OBJECT
private slots:
    void noMappingIsNoData();
    void readsPublishedBlock_data() { blockKinds(); }
    void readsPublishedBlock();
    void waitsWhileCoreTempWrites_data() { blockKinds(); }
    void waitsWhileCoreTempWrites();
    void classicNameComesFirst();
    void shortMappingsGiveNoData_data();
    void shortMappingsGiveNoData();
};

void TestCoreTempProxyWin::noMappingIsNoData()
{
    QVERIFY(!stillExists(OpenFileMappingW(FILE_MAP_READ, FALSE, kCoreTempMappingNameW)));
    QVERIFY(!stillExists(OpenFileMappingW(FILE_MAP_READ, FALSE, kCoreTempMappingExNameW)));
    CoreTempProxy proxy;
    QVERIFY(!proxy.GetData());
    QCOMPARE(proxy.GetCPUCount(), 0u);
}

void TestCoreTempProxyWin::readsPublishedBlock()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    const std::wstring wideName = name.toStdWString();
    {
        Publisher publisher(size, wideName.c_str());
        QVERIFY(publisher.ready());
        publisher.write(sampleBlock());

        const int viewsBefore = mappedViews();
        CoreTempProxy proxy;
        const bool read = proxy.GetData();
        QCOMPARE(mappedViews(), viewsBefore); // the reader unmaps its view
        QVERIFY(read);                        // no mutex present: read as it is
        QCOMPARE(proxy.GetCPUCount(), 1u);
        QCOMPARE(proxy.GetTemp(0), 45.5f);
        QCOMPARE(proxy.GetCoreLoad(0), 37u);
        QCOMPARE(proxy.GetTemp(1), 70.25f);
        QCOMPARE(proxy.GetCoreLoad(1), 91u);

        // A fresh snapshot per read: a later block replaces the earlier one.
        CoreTempSharedData next = sampleBlock();
        next.fTemp[0] = 50.0f;
        publisher.write(next);
        CoreTempProxy later;
        QVERIFY(later.GetData());
        QCOMPARE(later.GetTemp(0), 50.0f);
    }
    QVERIFY2(!stillExists(OpenFileMappingW(FILE_MAP_READ, FALSE, wideName.c_str())),
             "the reader keeps a handle to the mapping");
}

void TestCoreTempProxyWin::waitsWhileCoreTempWrites()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    const std::wstring wideName = name.toStdWString();
    Publisher publisher(size, wideName.c_str());
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kCoreTempMutexNameW);
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    QVERIFY(publisher.ready() && mutex != nullptr && held != nullptr && release != nullptr);
    publisher.write(sampleBlock());

    // Core Temp in the middle of a rewrite: the block is inconsistent until the
    // mutex is released, so only a reader that waited sees the finished block.
    std::thread writer([&] {
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
    writer.join();
    QVERIFY(read);
    QCOMPARE(proxy.GetTemp(0), 61.25f);
    QCOMPARE(proxy.GetCoreLoad(0), 12u);
    QVERIFY2(mutexFreeForOthers(mutex), "the reader keeps the mutex after the copy");

    // A writer that hangs with the mutex: the read gives up after a bounded
    // wait (a wait without bound would hang until ctest's time-out) and
    // reports no data rather than a block half rewritten.
    ResetEvent(held);
    std::thread hung([&] {
        WaitForSingleObject(mutex, kHolderWaitMs);
        publisher.block().fTemp[0] = -1.0f;
        SetEvent(held);
        WaitForSingleObject(release, 30000);
        publisher.block().fTemp[0] = 45.5f;
        ReleaseMutex(mutex);
    });
    WaitForSingleObject(held, 30000);
    CoreTempProxy timedOut;
    const bool readWhileHeld = timedOut.GetData();
    SetEvent(release);
    hung.join();
    QVERIFY(!readWhileHeld);
    QCOMPARE(timedOut.GetCPUCount(), 0u);
    CoreTempProxy after;
    QVERIFY(after.GetData());
    QCOMPARE(after.GetTemp(0), 45.5f);

    // Core Temp died holding the mutex: the wait reports it abandoned, which
    // still hands the mutex over; the last block it wrote is read.
    std::thread([&] { WaitForSingleObject(mutex, kHolderWaitMs); }).join();
    CoreTempProxy abandoned;
    QVERIFY(abandoned.GetData());
    QCOMPARE(abandoned.GetTemp(0), 45.5f);
    QVERIFY2(mutexFreeForOthers(mutex), "the reader keeps the abandoned mutex it took");

    CloseHandle(release);
    CloseHandle(held);
    CloseHandle(mutex);
    QVERIFY2(!stillExists(OpenMutexW(SYNCHRONIZE, FALSE, kCoreTempMutexNameW)),
             "the reader keeps a handle to the mutex");
}

void TestCoreTempProxyWin::classicNameComesFirst()
{
    Publisher classic(sizeof(CoreTempSharedData), kCoreTempMappingNameW);
    Publisher extended(3 * 4096, kCoreTempMappingExNameW);
    QVERIFY(classic.ready() && extended.ready());
    CoreTempSharedData block = sampleBlock();
    classic.write(block);
    block.fTemp[0] = 33.0f;
    extended.write(block);
    CoreTempProxy proxy;
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetTemp(0), 45.5f);
}

void TestCoreTempProxyWin::shortMappingsGiveNoData_data()
{
    QTest::addColumn<DWORD>("sectionFlags");
    // Windows makes every section and view a whole number of pages, so a block
    // published 1000 bytes long reads as 4096 bytes, its tail zeros: the read
    // is safe, and the processor count (at byte 1540) reads 0, which the
    // sampler takes for no data.
    QTest::newRow("1000 bytes") << DWORD(SEC_COMMIT);
    // Pages reserved but never committed: the view exists and has no
    // readable byte. Copying from it would fault.
    QTest::newRow("1000 bytes, uncommitted") << DWORD(SEC_RESERVE);
}

void TestCoreTempProxyWin::shortMappingsGiveNoData()
{
    QFETCH(DWORD, sectionFlags);
    Publisher publisher(1000, kCoreTempMappingNameW, sectionFlags);
    QVERIFY(publisher.ready(sectionFlags == SEC_COMMIT));
    if (sectionFlags == SEC_COMMIT)
        publisher.write(sampleBlock(), 1000);
    CoreTempProxy proxy;
    const bool read = proxy.GetData();
    if (sectionFlags == SEC_RESERVE)
        QVERIFY(!read);
    QCOMPARE(proxy.GetCPUCount(), 0u);
}

QTEST_APPLESS_MAIN(TestCoreTempProxyWin)
#include "tst_coretemp_proxy_win.moc"
