#include <QtTest>

#include <atomic>
#include <climits>
#include <future>
#include <thread>

#include <sys/stat.h>

#include "coretemp_shm_fixture.h"
#include "coretemp/coretemp_block_lock_posix.h"
#include "coretemp/coretemp_proxy.h"

class TestCoreTempProxy : public QObject
{
    Q_OBJECT
private slots:
    void init() { removeCoreTempBlock(); }
    void cleanupTestCase() { removeCoreTempBlock(); }

    void publishedBlockReadBack();
    void noSegment();
    void shortSegment_data();
    void shortSegment();
    void publisherGone();
    void cpuCountZero();
    void indexOutOfRange();
    void failedReadForgetsOldSnapshot();
    void copyIsNeverTorn();
    void hostileSegment_data();
    void hostileSegment();
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
}

void TestCoreTempProxy::noSegment()
{
    CoreTempProxy proxy;
    QVERIFY(!proxy.GetData());
    QCOMPARE(proxy.GetCPUCount(), 0u);
    QCOMPARE(proxy.GetTemp(0), 0.0f);
    QCOMPARE(proxy.GetCoreLoad(0), 0u);
}

void TestCoreTempProxy::shortSegment_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte short") << int(sizeof(CoreTempSharedData)) - 1;
}

void TestCoreTempProxy::shortSegment()
{
    QFETCH(int, length);
    const CoreTempSharedData block = makeCoreTempBlock(2);
    QVERIFY(publishCoreTempBytes(&block, std::size_t(length)));

    CoreTempProxy proxy;
    QVERIFY(!proxy.GetData());
    QCOMPARE(proxy.GetCPUCount(), 0u);
    QCOMPARE(proxy.GetTemp(0), 0.0f);
}

void TestCoreTempProxy::publisherGone()
{
    // A whole block, left behind by a publisher that was killed: the segment
    // stays, but what it holds is no longer a reading.
    QVERIFY(publishCoreTempBlock(makeCoreTempBlock(2), false));
    QVERIFY(QFile::exists(QStringLiteral("/dev/shm/CoreTempMappingObject")));

    CoreTempProxy proxy;
    QVERIFY(!proxy.GetData());
    QCOMPARE(proxy.GetCPUCount(), 0u);
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

void TestCoreTempProxy::indexOutOfRange()
{
    CoreTempSharedData block = makeCoreTempBlock(256);
    QVERIFY(publishCoreTempBlock(block));

    CoreTempProxy proxy;
    QVERIFY(proxy.GetData());
    for (int index : {-1, 256, 257, INT_MAX, INT_MIN}) {
        QCOMPARE(proxy.GetTemp(index), 0.0f);
        QCOMPARE(proxy.GetCoreLoad(index), 0u);
    }
}

void TestCoreTempProxy::failedReadForgetsOldSnapshot()
{
    QVERIFY(publishCoreTempBlock(makeCoreTempBlock(2)));
    CoreTempProxy proxy;
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetTemp(1), 41.0f);

    removeCoreTempBlock();
    QVERIFY(!proxy.GetData());
    QCOMPARE(proxy.GetCPUCount(), 0u);
    QCOMPARE(proxy.GetTemp(1), 0.0f);
    QCOMPARE(proxy.GetCoreLoad(1), 0u);
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

void TestCoreTempProxy::hostileSegment_data()
{
    // Anybody may put anything at the name: /dev/shm is world-writable.
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"fifo", "directory", "symlink to a huge file", "symlink to a device",
                             "0 bytes", "1 MiB of 0xFF"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void TestCoreTempProxy::hostileSegment()
{
    QFETCH(QString, kind);
    const QByteArray path = "/dev/shm/CoreTempMappingObject";
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    int lockFd = -1;
    if (kind == "fifo") {
        QCOMPARE(mkfifo(path, 0666), 0);
    } else if (kind == "directory") {
        QCOMPARE(mkdir(path, 0755), 0);
    } else if (kind == "symlink to a huge file") {
        const QByteArray huge = QFile::encodeName(dir.filePath("huge"));
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(4) << 30));
        file.close();
        QCOMPARE(symlink(huge, path), 0);
    } else if (kind == "symlink to a device") {
        QCOMPARE(symlink("/dev/zero", path), 0);
    } else {
        const QByteArray bytes(kind == "0 bytes" ? 0 : 1 << 20, '\xff');
        QVERIFY(publishCoreTempBytes(bytes.constData(), std::size_t(bytes.size())));
        lockFd = coreTempPublisherFd();
        QVERIFY(lockFd >= 0);
    }

    auto read = std::async(std::launch::async, [] {
        CoreTempProxy proxy;
        return proxy.GetData() && proxy.GetCPUCount() != 0;
    });
    if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked open go before failing, or the test would hang.
        close(open(path, O_WRONLY | O_NONBLOCK));
        read.wait();
        QFAIL("the read blocked");
    }
    QVERIFY(!read.get());

    // Cleared away and replaced by a good block, the next read finds it.
    removeCoreTempBlock();
    rmdir(path);
    QVERIFY(publishCoreTempBlock(makeCoreTempBlock(1)));
    CoreTempProxy proxy;
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetTemp(0), 40.0f);
}

QTEST_GUILESS_MAIN(TestCoreTempProxy)
#include "tst_coretemp_proxy.moc"
