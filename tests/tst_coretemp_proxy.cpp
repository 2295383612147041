#include <QtTest>

#include <climits>

#include "coretemp_shm_fixture.h"
#include "sampler/coretemp_proxy.h"

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

QTEST_GUILESS_MAIN(TestCoreTempProxy)
#include "tst_coretemp_proxy.moc"
