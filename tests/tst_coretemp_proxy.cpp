#include <QtTest>

#include <atomic>
#include <climits>
#include <future>
#include <thread>

#include <sys/stat.h>

#include "coretemp/coretemp_block_lock_posix.h"
#include "coretemp/coretemp_proxy.h"
#include "coretemp_shm_fixture.h"

class TestCoreTempProxy : public QObject
{
    Q_OBJECT
private slots:
    // Also what a failed noData row may leave at the name.
    void init()
    {
        removeCoreTempBlock();
        rmdir(kSegmentFile);
    }
    void cleanupTestCase() { init(); }

    void publishedBlockReadBack();
    void cpuCountZero();
    void copyIsNeverTorn();
    void noData_data();
    void noData();
};

void TestCoreTempProxy::publishedBlockReadBack()
{
    CoreTempSharedData block = makeCoreTempBlock(4);
    block.uiCPUCnt = 2;
    block.fTemp[7] = -12.5f; // a value published as is, no unit conversion
    block.uiLoad[255] = 99;
    block.fTemp[255] = 88.25f;
    QVERIFY(publishCoreTempBlock(block));

    CoreTempProxy proxy;
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetCPUCount(), 2u);
    QCOMPARE(proxy.GetTemp(0), 40.0f);
    QCOMPARE(proxy.GetTemp(3), 43.0f);
    QCOMPARE(proxy.GetTemp(7), -12.5f);
    QCOMPARE(proxy.GetTemp(255), 88.25f);
    QCOMPARE(proxy.GetCoreLoad(0), 10u);
    QCOMPARE(proxy.GetCoreLoad(1), 11u);
    QCOMPARE(proxy.GetCoreLoad(255), 99u);
    for (int index : {-1, 256, 257, INT_MAX, INT_MIN}) {
        QCOMPARE(proxy.GetTemp(index), 0.0f);
        QCOMPARE(proxy.GetCoreLoad(index), 0u);
    }
}

void TestCoreTempProxy::cpuCountZero()
{
    CoreTempSharedData block = makeCoreTempBlock(2);
    block.uiCPUCnt = 0;
    QVERIFY(publishCoreTempBlock(block));

    CoreTempProxy proxy;
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetCPUCount(), 0u);
}

void TestCoreTempProxy::copyIsNeverTorn()
{
    // A publisher rewriting its block as fast as it can, every load and every
    // temperature of one block the same number: a copy holding two numbers
    // is made of two writes. (Two equal copies alone do not prove a whole
    // one: a writer preempted mid-write leaves the same torn bytes for both.)
    CoreTempSharedData first = makeCoreTempBlock(256);
    std::fill(std::begin(first.uiLoad), std::end(first.uiLoad), 1u);
    std::fill(std::begin(first.fTemp), std::end(first.fTemp), 1.0f);
    QVERIFY(publishCoreTempBlock(first));
    const int fd = coreTempPublisherFd();
    std::atomic<bool> stop{false};
    std::thread publisher([&] {
        CoreTempSharedData block = first;
        for (unsigned int n = 0; !stop.load(std::memory_order_relaxed); ++n) {
            const unsigned int value = 1 + (n / 4) % 100;
            std::fill(std::begin(block.uiLoad), std::end(block.uiLoad), value);
            std::fill(std::begin(block.fTemp), std::end(block.fTemp), float(value));
            // As our monitor writes: under the block's write lock.
            if (!lockCoreTempBlock(fd, F_WRLCK, 100000))
                break;
            const bool written = pwrite(fd, &block, sizeof block, 0) == ssize_t(sizeof block);
            lockCoreTempBlock(fd, F_UNLCK);
            if (!written)
                break;
        }
    });
    int copies = 0, torn = 0;
    const QDeadlineTimer deadline(3000);
    while (!deadline.hasExpired() && copies < 20000) {
        CoreTempSharedData out{};
        if (!readCoreTempBlock(out))
            continue;
        ++copies;
        if (float(out.uiLoad[0]) != out.fTemp[255] || float(out.uiLoad[255]) != out.fTemp[0])
            ++torn;
    }
    stop = true;
    publisher.join();
    QCOMPARE(torn, 0);
    QVERIFY2(copies > 0, "no consistent copy in 3 s");
}

void TestCoreTempProxy::noData_data()
{
    // Anybody may put anything at the name: /dev/shm is world-writable.
    QTest::addColumn<QString>("kind");
    for (const char *kind :
         {"no segment", "0 bytes", "one byte short", "whole block, publisher killed", "fifo",
          "directory", "symlink to a huge file", "symlink to a device", "1 MiB of 0xFF"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

// Whatever lies at the name instead of a live publisher's block is no data,
// read without blocking, and leaves nothing of the proxy's last good copy;
// replaced by a good block, it is read again.
void TestCoreTempProxy::noData()
{
    QFETCH(QString, kind);
    QVERIFY(publishCoreTempBlock(makeCoreTempBlock(2)));
    CoreTempProxy proxy;
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetTemp(1), 41.0f);

    removeCoreTempBlock();
    const CoreTempSharedData block = makeCoreTempBlock(2);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (kind == "0 bytes" || kind == "one byte short") {
        QVERIFY(publishCoreTempBytes(&block, kind == "0 bytes" ? 0 : sizeof block - 1));
    } else if (kind == "whole block, publisher killed") {
        QVERIFY(publishCoreTempBlock(block, false));
        QVERIFY(QFile::exists(kSegmentFile));
    } else if (kind == "fifo") {
        QCOMPARE(mkfifo(kSegmentFile, 0666), 0);
    } else if (kind == "directory") {
        QCOMPARE(mkdir(kSegmentFile, 0755), 0);
    } else if (kind == "symlink to a huge file") {
        const QByteArray huge = QFile::encodeName(dir.filePath("huge"));
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(4) << 30));
        file.close();
        QCOMPARE(symlink(huge, kSegmentFile), 0);
    } else if (kind == "symlink to a device") {
        QCOMPARE(symlink("/dev/zero", kSegmentFile), 0);
    } else if (kind == "1 MiB of 0xFF") {
        const QByteArray bytes(1 << 20, '\xff');
        QVERIFY(publishCoreTempBytes(bytes.constData(), std::size_t(bytes.size())));
    }

    auto read = std::async(std::launch::async, [&proxy] { return proxy.GetData(); });
    if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked open go before failing, or the test would hang.
        close(open(kSegmentFile, O_WRONLY | O_NONBLOCK));
        read.wait();
        QFAIL("the read blocked");
    }
    QVERIFY(!read.get());
    QCOMPARE(proxy.GetCPUCount(), 0u);
    QCOMPARE(proxy.GetTemp(1), 0.0f);
    QCOMPARE(proxy.GetCoreLoad(1), 0u);

    init();
    QVERIFY(publishCoreTempBlock(makeCoreTempBlock(1)));
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetTemp(0), 40.0f);
}

QTEST_GUILESS_MAIN(TestCoreTempProxy)
#include "tst_coretemp_proxy.moc"
