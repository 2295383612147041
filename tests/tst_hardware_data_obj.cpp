#include <QtTest>

#include <atomic>
#include <cmath>
#include <limits>

#include "coretemp_shm_fixture.h"
#include "sampler/hardware_data_obj.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

/// Receives CPU_Param on the test's thread through a queued connection, as
/// the aggregator does, so the spy is only touched by one thread.
class Receiver : public QObject
{
    Q_OBJECT
signals:
    void received(float load, float temperature, float usage);
};

struct Counters
{
    std::atomic<int> cycles{0};
    std::atomic<int> probes{0};
    std::atomic<int> launches{0};
    QString launchedPath;
};

/// Sources that never touch the machine: a fixed core reading and usage.
SamplerHooks fakeSources(Counters &counters, CoreReading core = {true, 45.5f, 37},
                         float usage = 62.5f, CoreTempState state = Running, bool launchOk = true)
{
    SamplerHooks sources;
    sources.readCore = [core] { return core; };
    sources.readMemoryUsage = [&counters, usage] {
        ++counters.cycles;
        return usage;
    };
    sources.probe = [&counters, state] {
        ++counters.probes;
        return state;
    };
    sources.launch = [&counters, launchOk](const QString &path) {
        ++counters.launches;
        counters.launchedPath = path;
        return launchOk;
    };
    sources.intervalMs = 20;
    return sources;
}

/// A sampler whose signal reaches a spy on the test's thread, queued as the
/// aggregator receives it.
struct Sampling
{
    explicit Sampling(const SamplerHooks &sources) : sampler(sources)
    {
        QObject::connect(&sampler, &QHardwareDataObj::CPU_Param, &receiver, &Receiver::received,
                         Qt::QueuedConnection);
    }
    QHardwareDataObj sampler;
    Receiver receiver;
    QSignalSpy spy{&receiver, &Receiver::received};
};

/// Stops the sampler, waits for run to return and delivers what it emitted.
bool stopAndDrain(QHardwareDataObj &sampler)
{
    sampler.requestStop();
    const bool finished = sampler.wait(5000);
    QCoreApplication::sendPostedEvents();
    return finished;
}

} // namespace

class TestHardwareDataObj : public QObject
{
    Q_OBJECT
private slots:
    void emission_data();
    void emission();
    void coreTempReading_data();
    void coreTempReading();
    void stop_data();
    void stop();
    void gate_data();
    void gate();
};

void TestHardwareDataObj::emission_data()
{
    QTest::addColumn<bool>("valid");
    QTest::addColumn<float>("temperature");
    QTest::addColumn<uint>("load");
    QTest::addColumn<float>("usage");
    QTest::addColumn<bool>("emits");

    QTest::newRow("valid sample") << true << 45.5f << 37u << 62.5f << true;
    // An idle core 0 is a valid sample, not a missing one.
    QTest::newRow("load 0") << true << 45.5f << 0u << 62.5f << true;
    QTest::newRow("load 100") << true << 90.0f << 100u << 99.9f << true;
    QTest::newRow("no Core Temp data") << false << 45.5f << 37u << 62.5f << false;
    QTest::newRow("temperature 0") << true << 0.0f << 37u << 62.5f << false;
    QTest::newRow("temperature negative") << true << -3.0f << 37u << 62.5f << false;
    QTest::newRow("temperature NaN") << true << kNaN << 37u << 62.5f << false;
    QTest::newRow("temperature inf") << true << kInf << 37u << 62.5f << false;
    QTest::newRow("usage -1 (reading failed)") << true << 45.5f << 37u << -1.0f << false;
    QTest::newRow("usage 0 (total 0)") << true << 45.5f << 37u << 0.0f << false;
    QTest::newRow("usage NaN") << true << 45.5f << 37u << kNaN << false;
    QTest::newRow("usage inf") << true << 45.5f << 37u << kInf << false;
}

void TestHardwareDataObj::emission()
{
    QFETCH(bool, valid);
    QFETCH(float, temperature);
    QFETCH(uint, load);
    QFETCH(float, usage);
    QFETCH(bool, emits);

    Counters counters;
    Sampling run(fakeSources(counters, {valid, temperature, load}, usage));
    QVERIFY(run.sampler.startSampler());

    if (emits) {
        QVERIFY(run.spy.wait(5000));
        QVERIFY(stopAndDrain(run.sampler));
        QVERIFY(run.spy.count() >= 1);
        for (const QList<QVariant> &args : run.spy) {
            QCOMPARE(args.at(0).value<float>(), float(load));
            QCOMPARE(args.at(1).value<float>(), temperature);
            QCOMPARE(args.at(2).value<float>(), usage);
        }
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(counters.cycles >= 3, 5000);
        QVERIFY(stopAndDrain(run.sampler));
        QCOMPARE(run.spy.count(), 0);
    }
}

void TestHardwareDataObj::coreTempReading_data()
{
    QTest::addColumn<bool>("published");
    QTest::addColumn<uint>("cpus");
    QTest::addColumn<float>("temperature"); // core 0's; core 1 is at 80 degrees, 90 %
    QTest::addColumn<uint>("load");
    QTest::addColumn<bool>("valid");
    // Short and stale blocks are the proxy's, tested in tst_coretemp_proxy.
    QTest::newRow("no block") << false << 1u << 45.0f << 50u << false;
    QTest::newRow("no CPU counted") << true << 0u << 45.0f << 50u << false;
    // Never an average or a maximum of the cores.
    QTest::newRow("core 0 only") << true << 1u << 45.0f << 50u << true;
    // A published value no CPU can report must not become a record.
    QTest::newRow("full load, hot") << true << 1u << 105.0f << 100u << true;
    QTest::newRow("Fahrenheit bound") << true << 1u << 300.0f << 50u << true;
    QTest::newRow("load 101") << true << 1u << 45.0f << 101u << false;
    QTest::newRow("load 0xFFFFFFFF") << true << 1u << 45.0f << 0xFFFFFFFFu << false;
    QTest::newRow("temperature 1e30") << true << 1u << 1e30f << 50u << false;
    QTest::newRow("temperature just above") << true << 1u << 300.5f << 50u << false;
    QTest::newRow("temperature infinite") << true << 1u << kInf << 50u << false;
}

// The sampler's own core reading, from a published block.
void TestHardwareDataObj::coreTempReading()
{
    QFETCH(bool, published);
    QFETCH(uint, cpus);
    QFETCH(float, temperature);
    QFETCH(uint, load);
    QFETCH(bool, valid);
    CoreTempSharedData block = makeCoreTempBlock(2);
    block.uiCPUCnt = cpus;
    block.fTemp[0] = temperature;
    block.uiLoad[0] = load;
    block.fTemp[1] = 80.0f;
    block.uiLoad[1] = 90;
    removeCoreTempBlock();
    QVERIFY(!published || publishCoreTempBlock(block));
    const CoreReading reading = SamplerHooks::system().readCore();
    removeCoreTempBlock();
    QCOMPARE(reading.valid, valid);
    if (valid) {
        QCOMPARE(reading.temperature, temperature);
        QCOMPARE(reading.load, load);
    }
}

void TestHardwareDataObj::stop_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("cycles"); // completed, each with its emission
    // Still asleep when the stop comes: run returns only after the sleep.
    QTest::newRow("during the sleep") << "sleep" << 1;
    QTest::newRow("during a cycle, which still emits") << "cycle" << 1;
    // Started without the gate, which clears the flag.
    QTest::newRow("before run") << "before run" << 0;
}

void TestHardwareDataObj::stop()
{
    QFETCH(QString, when);
    QFETCH(int, cycles);
    Counters counters;
    SamplerHooks sources = fakeSources(counters);
    QHardwareDataObj *self = nullptr;
    if (when == "sleep") {
        sources.intervalMs = 1000; // the stop lands in the sleep after the first emission
    } else if (when == "cycle") {
        sources.readMemoryUsage = [&] {
            ++counters.cycles;
            self->requestStop();
            return 62.5f;
        };
    }
    Sampling run(sources);
    self = &run.sampler;
    if (when == "before run") {
        run.sampler.start();
    } else {
        QVERIFY(run.sampler.startSampler());
        QVERIFY(run.spy.wait(5000));
    }
    if (when == "sleep") {
        run.sampler.requestStop();
        QVERIFY(run.sampler.isRunning());
    }
    QVERIFY(run.sampler.wait(5000));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(counters.cycles.load(), cycles);
    QCOMPARE(run.spy.count(), cycles);
}

void TestHardwareDataObj::gate_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("launchOk");
    QTest::addColumn<int>("launches");

    QTest::newRow("running") << int(Running) << true << 0;
    // Started all the same: a Core Temp that comes up later is read from its
    // first published block.
    QTest::newRow("absent") << int(Absent) << true << 0;
    // Started at once, without waiting for Core Temp to come up.
    QTest::newRow("present, launched") << int(PresentNotRunning) << true << 1;
    // A declined elevation: launched once, never again, and sampled all the
    // same, should the user start Core Temp by hand.
    QTest::newRow("present, launch fails") << int(PresentNotRunning) << false << 1;
}

// The gate is called twice: whatever the probe found, the thread starts, and
// a second call neither probes nor launches again. The core reading stands
// for a Core Temp that publishes once the thread runs.
void TestHardwareDataObj::gate()
{
    QFETCH(int, state);
    QFETCH(bool, launchOk);
    QFETCH(int, launches);

    Counters counters;
    Sampling run(fakeSources(counters, {true, 45.5f, 37}, 62.5f, CoreTempState(state), launchOk));
    QVERIFY(run.sampler.startSampler());
    QVERIFY(run.sampler.startSampler());
    QCOMPARE(counters.probes.load(), 1);
    QCOMPARE(counters.launches.load(), launches);
    if (launches > 0)
        QCOMPARE(counters.launchedPath, coreTempPath());
    QVERIFY(run.spy.wait(5000));
    QVERIFY(stopAndDrain(run.sampler));
    QCOMPARE(counters.probes.load(), 1);
    QCOMPARE(counters.launches.load(), launches);
}

QTEST_GUILESS_MAIN(TestHardwareDataObj)
#include "tst_hardware_data_obj.moc"
