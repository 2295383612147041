#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "coretemp_shm_fixture.h"
#include "coretemp/coretemp_proxy.h"

namespace {

const QString kMonitor = QStringLiteral(PCREPORT_BIN_DIR "/Core Temp.exe");

bool segmentExists()
{
    struct stat st
    {
    };
    return stat(kSegmentFile, &st) == 0;
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

const char kNeedsRoot[] = "needs root for a private mount namespace (unshare -m)";

/// Starts the monitor with `arguments` in a private mount namespace whose
/// /sys/class holds only the fixture tree's hwmon and thermal folders, so
/// that what it finds does not depend on this machine's sensors. Needs root.
bool startOverSensorTree(QProcess &monitor, const QString &tree, const QStringList &arguments)
{
    const QString root = QFINDTESTDATA("fixtures/monitor/" + tree);
    if (root.isEmpty())
        return false;
    monitor.start(QStringLiteral("unshare"),
                  QStringList{QStringLiteral("-m"), QStringLiteral("--propagation"),
                              QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
                              QStringLiteral("mount -t tmpfs tmpfs /sys/class && "
                                             "mkdir /sys/class/hwmon /sys/class/thermal && "
                                             "mount --bind \"$1/hwmon\" /sys/class/hwmon && "
                                             "mount --bind \"$1/thermal\" /sys/class/thermal && "
                                             "shift && exec \"$@\""),
                              QStringLiteral("sh"), root, kMonitor} +
                      arguments);
    return monitor.waitForStarted(5000);
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
    void checkSensor_data();
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
    QTest::newRow("SIGHUP") << int(SIGHUP);
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
    QCOMPARE(stat(kSegmentFile, &st), 0);
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

    // Sent early in a wait of about a second: the signal must end it.
    QElapsedTimer sent;
    sent.start();
    ::kill(pid_t(monitor.processId()), signal);
    QVERIFY(monitor.waitForFinished(5000));
    QVERIFY2(sent.elapsed() < 500, qPrintable(QString::number(sent.elapsed()) + " ms"));
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

void TestMonitor::checkSensor_data()
{
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("line");

    const QByteArray coretemp =
        "CPU temperature sensor: coretemp (/sys/class/hwmon/hwmon1, /sys/class/hwmon/hwmon2)\n";
    QTest::newRow("found") << "intel" << QStringList{"--check-sensor"} << 0 << coretemp;
    QTest::newRow("found, despite a fixed temperature")
        << "intel" << QStringList{"--temperature", "40", "--check-sensor"} << 0 << coretemp;
    QTest::newRow("none") << "none" << QStringList{"--check-sensor"} << 1
                          << QByteArray("No CPU temperature sensor found (looked for hwmon "
                                        "coretemp, k10temp, zenpower and the thermal zones "
                                        "x86_pkg_temp, cpu_thermal)\n");
}

void TestMonitor::checkSensor()
{
    QFETCH(QString, tree);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, line);

    if (::geteuid() != 0)
        QSKIP(kNeedsRoot);
    QProcess monitor;
    QVERIFY(startOverSensorTree(monitor, tree, arguments));
    QVERIFY(monitor.waitForFinished(5000));
    QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.exitCode(), exitCode);
    QCOMPARE(monitor.readAllStandardOutput(), line);
    QVERIFY(!segmentExists());
}

void TestMonitor::noSensorPublishesZero()
{
    if (::geteuid() != 0)
        QSKIP(kNeedsRoot);
    QProcess monitor;
    QVERIFY(startOverSensorTree(monitor, QStringLiteral("none"), QStringList()));
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
