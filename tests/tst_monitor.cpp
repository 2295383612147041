#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <thread>

#include "coretemp_shm_fixture.h"
#include "monitor/monitor_readings.h"
#include "sampler/coretemp_proxy.h"

namespace {

const QString kMonitor = QStringLiteral(PCREPORT_BIN_DIR "/Core Temp.exe");
const char kSegment[] = "/dev/shm/CoreTempMappingObject";

bool segmentExists()
{
    struct stat st
    {
    };
    return stat(kSegment, &st) == 0;
}

/// Waits until the monitor has published a block with at least one CPU.
bool waitForPublication(CoreTempProxy &proxy, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (proxy.GetData() && proxy.GetCPUCount() >= 1)
            return true;
        QTest::qWait(20);
    }
    return false;
}

} // namespace

class TestMonitor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { removeCoreTempBlock(); }
    void cleanupTestCase() { removeCoreTempBlock(); }

    void publishesFixedTemperature_data();
    void publishesFixedTemperature();
    void badOptions_data();
    void badOptions();
    void restartUnderTightReadingLoop();
    void checkSensor();
    void noSensorPublishesZero();
};

void TestMonitor::initTestCase()
{
    if (!QFileInfo(kMonitor).isExecutable())
        QFAIL(qPrintable(kMonitor + " was not built"));
}

void TestMonitor::publishesFixedTemperature_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGKILL") << int(SIGKILL);
}

void TestMonitor::publishesFixedTemperature()
{
    QFETCH(int, signal);

    // A restrictive umask must not keep other users from reading the block.
    const mode_t oldMask = umask(077);
    QProcess monitor;
    monitor.start(kMonitor, {QStringLiteral("--temperature"), QStringLiteral("42.5")});
    const bool started = monitor.waitForStarted(5000);
    umask(oldMask);
    QVERIFY(started);

    CoreTempProxy proxy;
    QVERIFY2(waitForPublication(proxy), "no block published within 5 s");

    struct stat st
    {
    };
    QCOMPARE(stat(kSegment, &st), 0);
    QCOMPARE(qint64(st.st_size), qint64(sizeof(CoreTempSharedData)));
    QCOMPARE(st.st_mode & 0777, mode_t(0644));

    CoreTempSharedData block{};
    QVERIFY(readCoreTempBlock(block));
    QVERIFY(block.uiCoreCnt >= 1);
    const unsigned int cores = qMin(256u, block.uiCPUCnt * block.uiCoreCnt);
    for (unsigned int i = 0; i < cores; ++i) {
        QCOMPARE(proxy.GetTemp(int(i)), 42.5f);
        QVERIFY2(proxy.GetCoreLoad(int(i)) <= 100, qPrintable(QString::number(i)));
    }
    QCOMPARE(block.uiTjMax[0], 100u);
    QVERIFY(std::memchr(block.sCPUName, '\0', sizeof block.sCPUName) != nullptr);

    // A second monitor must neither publish over the first nor remove its block.
    QProcess second;
    second.start(kMonitor, {QStringLiteral("--temperature"), QStringLiteral("10")});
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(proxy.GetData());
    QCOMPARE(proxy.GetTemp(0), 42.5f);

    ::kill(pid_t(monitor.processId()), signal);
    QVERIFY(monitor.waitForFinished(5000));
    if (signal == SIGKILL) {
        // Killed outright it cannot remove its block, but readers must take
        // what is left for no data, as they would a closed Windows mapping.
        QVERIFY(segmentExists());
        QVERIFY(!proxy.GetData());
        return;
    }
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), 0);
    QVERIFY(!segmentExists());
    QCOMPARE(monitor.readAllStandardOutput(), QByteArray());
}

void TestMonitor::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{"--bogus"};
    QTest::newRow("temperature without value") << QStringList{"--temperature"};
    QTest::newRow("temperature not a number") << QStringList{"--temperature", "warm"};
    QTest::newRow("temperature NaN") << QStringList{"--temperature", "nan"};
    QTest::newRow("temperature with trailing text") << QStringList{"--temperature=40C"};
}

void TestMonitor::badOptions()
{
    QFETCH(QStringList, arguments);
    QProcess monitor;
    monitor.start(kMonitor, arguments);
    QVERIFY(monitor.waitForFinished(5000));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), 2);
    QVERIFY(monitor.readAllStandardError().contains("usage:"));
    QCOMPARE(monitor.readAllStandardOutput(), QByteArray());
    QVERIFY(!segmentExists());
}

void TestMonitor::restartUnderTightReadingLoop()
{
    // Monitors started one after another over the block of a killed one
    // (99 degrees), while a reader tests and copies the segment as fast as it
    // can: every monitor must publish, and no copy may carry the dead block.
    CoreTempSharedData dead = makeCoreTempBlock(1);
    dead.fTemp[0] = 99.0f;
    std::atomic<bool> stop{false};
    std::atomic<int> live{0}, stale{0};
    std::thread reader([&] {
        while (!stop.load()) {
            CoreTempSharedData block{};
            if (readCoreTempBlock(block) && block.uiCPUCnt != 0)
                ++(block.fTemp[0] == 42.5f ? live : stale);
        }
    });
    int quit = 0;
    for (int i = 0; i < 30; ++i) {
        QVERIFY(publishCoreTempBlock(dead, false));
        QProcess monitor;
        monitor.start(kMonitor, {QStringLiteral("--temperature"), QStringLiteral("42.5")});
        QVERIFY(monitor.waitForStarted(5000));
        const int before = live.load();
        QDeadlineTimer deadline(5000);
        bool ended = false;
        while (live.load() == before && !ended && !deadline.hasExpired())
            ended = monitor.waitForFinished(5);
        quit += ended ? 1 : 0;
        monitor.kill();
        monitor.waitForFinished(5000);
    }
    stop = true;
    reader.join();
    QCOMPARE(quit, 0);
    QCOMPARE(stale.load(), 0);
    QVERIFY(live.load() > 0);
}

void TestMonitor::checkSensor()
{
    const TemperatureSensor sensor = findTemperatureSensor();
    QProcess monitor;
    monitor.start(kMonitor, {QStringLiteral("--check-sensor")});
    QVERIFY(monitor.waitForFinished(5000));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), sensor.found() ? 0 : 1);
    const QByteArray out = monitor.readAllStandardOutput();
    if (sensor.found())
        QVERIFY2(out.contains(sensor.description.c_str()), out.constData());
    else
        QVERIFY2(out.startsWith("No CPU temperature sensor"), out.constData());
    QVERIFY(!segmentExists());
}

void TestMonitor::noSensorPublishesZero()
{
    if (findTemperatureSensor().found())
        QSKIP("this machine has a CPU temperature sensor");

    QProcess monitor;
    monitor.start(kMonitor, QStringList());
    QVERIFY(monitor.waitForStarted(5000));
    CoreTempProxy proxy;
    QVERIFY2(waitForPublication(proxy), "no block published within 5 s");
    QCOMPARE(proxy.GetTemp(0), 0.0f);

    monitor.terminate();
    QVERIFY(monitor.waitForFinished(5000));
    QCOMPARE(monitor.exitCode(), 0);
    const QByteArray err = monitor.readAllStandardError();
    QCOMPARE(err.count("no CPU temperature sensor found"), 1);
    QCOMPARE(monitor.readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
