#include <QtTest>

#include "sampler/memory_status.h"

namespace {

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

bool failingReading(uint64_t &, uint64_t &)
{
    return false;
}

bool sixteenGiBSixAvailable(uint64_t &total, uint64_t &available)
{
    total = 16 * kGiB;
    available = 6 * kGiB;
    return true;
}

} // namespace

class TestMemoryStatus : public QObject
{
    Q_OBJECT
private slots:
    void parseMemInfo_data();
    void parseMemInfo();
    void meminfoFile();
    void usage_data();
    void usage();
    void failedReadingGivesMinusOne();
    void realMemInfo();
};

void TestMemoryStatus::parseMemInfo_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("available");

    QTest::newRow("kB to bytes") << QByteArray("MemTotal: 2 kB\nMemAvailable: 1 kB\n") << true
                                 << quint64(2048) << quint64(1024);
    QTest::newRow("any order, no final newline")
        << QByteArray("MemAvailable:\t 7 kB\nMemFree: 1 kB\nMemTotal: 9 kB") << true
        << quint64(9 * 1024) << quint64(7 * 1024);
    QTest::newRow("similar names are not the field")
        << QByteArray("MemTotalX: 5 kB\nXMemAvailable: 1 kB\nMemTotal: 4 kB\n"
                      "MemAvailable: 3 kB\n")
        << true << quint64(4096) << quint64(3072);
    QTest::newRow("missing MemTotal")
        << QByteArray("MemAvailable: 1 kB\n") << false << quint64(0) << quint64(0);
    // As before Linux 3.14.
    QTest::newRow("missing MemAvailable")
        << QByteArray("MemTotal: 2 kB\nMemFree: 1 kB\n") << false << quint64(0) << quint64(0);
    QTest::newRow("no number") << QByteArray("MemTotal: kB\nMemAvailable: 1 kB\n") << false
                               << quint64(0) << quint64(0);
    QTest::newRow("no unit") << QByteArray("MemTotal: 2\nMemAvailable: 1 kB\n") << false
                             << quint64(0) << quint64(0);
    QTest::newRow("trailing garbage")
        << QByteArray("MemTotal: 2x kB\nMemAvailable: 1 kB\n") << false << quint64(0) << quint64(0);
    QTest::newRow("too large for bytes")
        << QByteArray("MemTotal: 18014398509481984 kB\nMemAvailable: 1 kB\n") << false << quint64(0)
        << quint64(0);
    QTest::newRow("empty") << QByteArray() << false << quint64(0) << quint64(0);
}

void TestMemoryStatus::parseMemInfo()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(quint64, total);
    QFETCH(quint64, available);
    uint64_t gotTotal = 0, gotAvailable = 0;
    QCOMPARE(::parseMemInfo(std::string_view(text.constData(), size_t(text.size())), gotTotal,
                            gotAvailable),
             ok);
    QCOMPARE(quint64(gotTotal), total);
    QCOMPARE(quint64(gotAvailable), available);
}

// The fallback for a /proc/meminfo too long for one read.
void TestMemoryStatus::meminfoFile()
{
    uint64_t total = 0, available = 0;
    const std::string path = QFINDTESTDATA("fixtures/meminfo/normal").toStdString();
    QVERIFY(readMemInfoFile(path, total, available));
    QCOMPARE(total, 16 * kGiB);
    QCOMPARE(available, 6 * kGiB);
    QVERIFY(!readMemInfoFile(path + ".missing", total, available));
}

void TestMemoryStatus::usage_data()
{
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("available");
    QTest::addColumn<float>("usage");

    QTest::newRow("16 GiB, 6 available") << quint64(16 * kGiB) << quint64(6 * kGiB) << 62.5f;
    QTest::newRow("total 0") << quint64(0) << quint64(0) << 0.0f;
    QTest::newRow("nothing available") << quint64(8 * kGiB) << quint64(0) << 100.0f;
    QTest::newRow("available over total does not wrap")
        << quint64(4 * kGiB) << quint64(4 * kGiB + 1) << 0.0f;
    // Divided first, multiplied second, in double: one third of 3 bytes.
    QTest::newRow("divide then multiply") << quint64(3) << quint64(2) << float(1.0 / 3.0 * 100.0);
}

void TestMemoryStatus::usage()
{
    QFETCH(quint64, total);
    QFETCH(quint64, available);
    QFETCH(float, usage);
    QCOMPARE(memoryUsageFromTotals(total, available), usage);
}

void TestMemoryStatus::failedReadingGivesMinusOne()
{
    QCOMPARE(memoryUsagePercent(failingReading), -1.0f);
    QCOMPARE(memoryUsagePercent(sixteenGiBSixAvailable), 62.5f);
}

void TestMemoryStatus::realMemInfo()
{
    uint64_t total = 0, available = 0;
    QVERIFY(readPhysicalMemory(total, available));
    QVERIFY(total > 0);
    const float usage = memoryUsagePercent();
    QVERIFY2(usage > 0.0f && usage <= 100.0f, qPrintable(QString::number(usage)));
}

QTEST_GUILESS_MAIN(TestMemoryStatus)
#include "tst_memory_status.moc"
