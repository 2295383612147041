#include <QtTest>

#include <cmath>

#include "monitor/monitor_readings.h"

namespace {

std::string fixturePath(const QString &name)
{
    return (QFINDTESTDATA("fixtures/monitor") + '/' + name).toStdString();
}

std::string fixtureText(const QString &name)
{
    std::string text;
    if (!readTextFile(fixturePath(name), text))
        qFatal("missing fixture %s", qPrintable(name));
    return text;
}

using IntLists = QVector<QVector<int>>;

IntLists toLists(const std::vector<std::vector<int>> &lists)
{
    IntLists out;
    for (const auto &list : lists)
        out.append(QVector<int>(list.begin(), list.end()));
    return out;
}

} // namespace

class TestMonitorReadings : public QObject
{
    Q_OBJECT
private slots:
    void procStatLines();
    void cpuLoad_data();
    void cpuLoad();
    void cpuInfo_data();
    void cpuInfo();
    void sensors_data();
    void sensors();
    void missingSensorReadsZero();
    void rereadFileSeesEachNewContent();
    void clockSources_data();
    void clockSources();
    void clockFollowsItsSource();
};

void TestMonitorReadings::procStatLines()
{
    const std::string text = "cpu  100 0 100 800 0 0 0 0 0 0\n"
                             "cpu0 10 1 20 300 40 5 6 7 50 60\n"
                             "cpu1 1 2 3\n"                      // too few fields
                             "cpux 1 2 3 4\n"                    // not a CPU number
                             "cpu3 1 2 3 99999999999999999999\n" // beyond 64 bits
                             "cpu4 1 2 3 4x\n"
                             "cpu9999999999 1 2 3 4\n"
                             "cpu12 1 2 3 4\n" // the short form of old kernels
                             "intr 12345 0 0\n"
                             "ctxt 987654\n";
    std::vector<CpuTicks> cpus{{7, 7, 7}}; // replaced, not added to
    parseProcStat(text, cpus);
    QCOMPARE(cpus.size(), std::size_t(2));
    QCOMPARE(cpus[0].cpu, 0);
    QCOMPARE(cpus[0].idle, uint64_t(340));
    // guest and guest_nice are part of user and nice already.
    QCOMPARE(cpus[0].total, uint64_t(10 + 1 + 20 + 300 + 40 + 5 + 6 + 7));
    QCOMPARE(cpus[1].cpu, 12);
    QCOMPARE(cpus[1].idle, uint64_t(4));
    QCOMPARE(cpus[1].total, uint64_t(10));
}

void TestMonitorReadings::cpuLoad_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QVector<int>>("cpus"); // of one core
    QTest::addColumn<uint>("load");

    const QVector<int> cpu0{0};
    QTest::newRow("a quarter busy") << QByteArray("cpu0 100 0 100 800 0 0 0 0")
                                    << QByteArray("cpu0 125 0 125 950 0 0 0 0") << cpu0 << 25u;
    QTest::newRow("iowait is idle") << QByteArray("cpu0 0 0 0 0 0 0 0 0")
                                    << QByteArray("cpu0 10 0 0 50 40 0 0 0") << cpu0 << 10u;
    QTest::newRow("irq and steal are busy")
        << QByteArray("cpu0 0 0 0 0 0 0 0 0") << QByteArray("cpu0 0 0 0 50 0 20 10 20") << cpu0
        << 50u;
    QTest::newRow("rounded to whole percent")
        << QByteArray("cpu0 0 0 0 0") << QByteArray("cpu0 2 0 0 1") << cpu0 << 67u;
    QTest::newRow("fully busy") << QByteArray("cpu0 0 0 0 5") << QByteArray("cpu0 90 0 10 5")
                                << cpu0 << 100u;
    QTest::newRow("no tick passed")
        << QByteArray("cpu0 5 5 5 5") << QByteArray("cpu0 5 5 5 5") << cpu0 << 0u;
    QTest::newRow("counters went back")
        << QByteArray("cpu0 500 0 500 5000") << QByteArray("cpu0 10 0 10 100") << cpu0 << 0u;
    QTest::newRow("idle counter went back")
        << QByteArray("cpu0 0 0 0 500") << QByteArray("cpu0 900 0 0 100") << cpu0 << 0u;
    const QByteArray idle("cpu0 0 0 0 0\ncpu1 0 0 0 0\ncpu4 0 0 0 0\n");
    const QByteArray busy("cpu0 100 0 0 0\ncpu1 0 0 0 100\ncpu4 0 0 0 100\n");
    QTest::newRow("threads of a core summed") << idle << busy << QVector<int>{0, 4} << 50u;
    QTest::newRow("other threads left out") << idle << busy << QVector<int>{1} << 0u;
    // Taken offline: left out, not counted as idle.
    QTest::newRow("thread missing from a reading") << idle << busy << QVector<int>{0, 9} << 100u;
    QTest::newRow("core without threads") << idle << busy << QVector<int>{} << 0u;
}

void TestMonitorReadings::cpuLoad()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QVector<int>, cpus);
    QFETCH(uint, load);
    std::vector<CpuTicks> b, a;
    parseProcStat(before.toStdString(), b);
    parseProcStat(after.toStdString(), a);
    QCOMPARE(coreLoadPercent(b, a, std::vector<int>(cpus.begin(), cpus.end())), load);
}

void TestMonitorReadings::cpuInfo_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<uint>("packages");
    QTest::addColumn<uint>("cores");
    QTest::addColumn<QString>("name");
    QTest::addColumn<IntLists>("coreCpus");

    QTest::newRow("two packages with hyper-threads")
        << "cpuinfo_two_packages" << 2u << 2u << "Intel(R) Xeon(R) Gold 5118 CPU @ 2.30GHz"
        << IntLists{{0, 4}, {1, 5}, {2, 6}, {3, 7}};
    QTest::newRow("one package") << "cpuinfo_amd" << 1u << 4u << "AMD Ryzen 5 3600 6-Core Processor"
                                 << IntLists{{0}, {1}, {2}, {3}};
    QTest::newRow("no topology: each CPU a core")
        << "cpuinfo_no_topology" << 1u << 3u << "" << IntLists{{0}, {1}, {2}};
}

void TestMonitorReadings::cpuInfo()
{
    QFETCH(QString, fixture);
    QFETCH(uint, packages);
    QFETCH(uint, cores);
    QFETCH(QString, name);
    QFETCH(IntLists, coreCpus);

    const CpuTopology topology = parseCpuInfo(fixtureText(fixture));
    QCOMPARE(topology.packages, packages);
    QCOMPARE(topology.coresPerPackage, cores);
    QCOMPARE(QString::fromStdString(topology.name), name);
    QCOMPARE(toLists(topology.coreCpus), coreCpus);
}

void TestMonitorReadings::sensors_data()
{
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QVector<float>>("temperatures");

    // Package 0 lives in hwmon2 and must still come first; the two cores
    // beyond the sensor's four get the hottest reading.
    QTest::newRow("coretemp, two packages")
        << "intel"
        << "coretemp" << QVector<float>{41.0f, 43.25f, 52.0f, 53.5f, 53.5f, 53.5f};
    QTest::newRow("k10temp Tctl for every core")
        << "amd"
        << "k10temp" << QVector<float>{55.125f, 55.125f, 55.125f};
    QTest::newRow("zenpower prefers Tdie") << "zenpower"
                                           << "zenpower" << QVector<float>{61.0f, 61.0f};
    QTest::newRow("unreadable k10temp falls back to the thermal zone")
        << "thermal"
        << "thermal zone x86_pkg_temp" << QVector<float>{-5.0f, -5.0f};
    QTest::newRow("none") << "none"
                          << "" << QVector<float>{0.0f, 0.0f};
}

void TestMonitorReadings::sensors()
{
    QFETCH(QString, tree);
    QFETCH(QString, kind);
    QFETCH(QVector<float>, temperatures);

    const TemperatureSensor sensor =
        findTemperatureSensor(fixturePath(tree + "/hwmon"), fixturePath(tree + "/thermal"));
    QCOMPARE(sensor.found(), !kind.isEmpty());
    QVERIFY2(QString::fromStdString(sensor.description).startsWith(kind),
             sensor.description.c_str());

    QVector<float> got(temperatures.size(), -1.0f);
    TemperatureReader reader(sensor);
    QCOMPARE(reader.read(got.data(), size_t(got.size())), sensor.found());
    QCOMPARE(got, temperatures);
}

void TestMonitorReadings::missingSensorReadsZero()
{
    // The sensor vanished after it was found (a module unloaded).
    TemperatureSensor sensor;
    sensor.description = "coretemp";
    sensor.perCore = true;
    sensor.inputs = {fixturePath("gone/temp2_input")};
    float temperatures[2] = {7.0f, 7.0f};
    QVERIFY(!TemperatureReader(sensor).read(temperatures, 2));
    QCOMPARE(temperatures[0], 0.0f);
    QCOMPARE(temperatures[1], 0.0f);
}

void TestMonitorReadings::rereadFileSeesEachNewContent()
{
    // Rewritten in place, as the kernel regenerates a procfs file: longer
    // than one read, then shorter, then gone.
    QTemporaryDir dir;
    const QString path = dir.filePath("stat");
    auto rewrite = [&](const QByteArray &content) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), content.size());
    };
    RereadFile reread(path.toStdString());
    std::string_view text;
    const QByteArray longer(10000, 'x');
    rewrite(longer);
    QVERIFY(reread.read(text));
    QCOMPARE(QByteArray(text.data(), int(text.size())), longer);
    rewrite("cpu0 1 2 3\n");
    QVERIFY(reread.read(text));
    QCOMPARE(QByteArray(text.data(), int(text.size())), QByteArray("cpu0 1 2 3\n"));
    QVERIFY(RereadFile(dir.filePath("absent").toStdString()).read(text) == false);
}

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

} // namespace

void TestMonitorReadings::clockSources_data()
{
    QTest::addColumn<QByteArray>("cpufreq"); // null: no cpufreq file
    QTest::addColumn<QString>("cpuinfo");
    QTest::addColumn<double>("mhz");

    QTest::newRow("cpufreq kHz") << QByteArray("2400000\n") << "cpuinfo_amd" << 2400.0;
    QTest::newRow("cpufreq with spaces") << QByteArray(" 800500 ") << "cpuinfo_amd" << 800.5;
    QTest::newRow("no cpufreq: cpuinfo") << QByteArray() << "cpuinfo_amd" << 3600.0;
    // Its first processor's clock, not the last one's (2301).
    QTest::newRow("no cpufreq: cpuinfo, two packages")
        << QByteArray() << "cpuinfo_two_packages" << 2300.0;
    for (const char *bad : {"<unknown>\n", "0\n", "-2400000", "2.4e6", ""})
        QTest::newRow(qPrintable(QStringLiteral("cpufreq \"%1\": cpuinfo").arg(bad).trimmed()))
            << QByteArray(bad) << "cpuinfo_amd" << 3600.0;
    QTest::newRow("neither gives a clock") << QByteArray() << "cpuinfo_no_topology" << 0.0;
}

void TestMonitorReadings::clockSources()
{
    QFETCH(QByteArray, cpufreq);
    QFETCH(QString, cpuinfo);
    QFETCH(double, mhz);

    QTemporaryDir dir;
    const QString cpufreqPath = dir.filePath("scaling_cur_freq");
    if (!cpufreq.isNull())
        writeFile(cpufreqPath, cpufreq);
    CpuClock clock(cpufreqPath.toStdString(), fixturePath(cpuinfo));
    QCOMPARE(clock.mhz(), mhz);
}

void TestMonitorReadings::clockFollowsItsSource()
{
    QTemporaryDir dir;
    const QString cpufreq = dir.filePath("scaling_cur_freq");
    const QString cpuinfo = dir.filePath("cpuinfo");
    auto cpuinfoAt = [&](int mhz) {
        writeFile(cpuinfo, QByteArray("processor\t: 0\ncpu MHz\t\t: ") + QByteArray::number(mhz) +
                               ".000\n\n");
    };
    CpuClock clock(cpufreq.toStdString(), cpuinfo.toStdString(), 3);
    QVector<double> got;
    auto call = [&](int times) {
        while (times-- > 0)
            got.append(clock.mhz());
    };

    // Without cpufreq, /proc/cpuinfo only every third call.
    cpuinfoAt(1000);
    call(1);
    cpuinfoAt(2000);
    call(3);
    // A frequency driver loaded: found when cpuinfo is next due, then read on
    // every call from the file kept open.
    writeFile(cpufreq, "1500000\n");
    call(3);
    writeFile(cpufreq, "1700000\n");
    call(1);
    // cpufreq stops answering: cpuinfo at once.
    writeFile(cpufreq, "<unknown>\n");
    call(1);
    QCOMPARE(got, (QVector<double>{1000, 1000, 1000, 2000, 2000, 2000, 1500, 1700, 2000}));
}

QTEST_GUILESS_MAIN(TestMonitorReadings)

#include "tst_monitor_readings.moc"
