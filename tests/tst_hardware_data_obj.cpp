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
SamplerSources fakeSources(Counters &counters, CoreReading core = {true, 45.5f, 37},
                           float usage = 62.5f, CoreTempState state = Running, bool launchOk = true)
{
    SamplerSources sources;
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

void connectReceiver(QHardwareDataObj &sampler, Receiver &receiver)
{
    QObject::connect(&sampler, &QHardwareDataObj::CPU_Param, &receiver, &Receiver::received,
                     Qt::QueuedConnection);
}

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
    void readsCoreZeroOfPublishedBlock();
    void emitsCoreZeroOnly();
    void stopSetDuringSleep();
    void stopSetDuringCycleCompletesIt();
    void stopFlagSetBeforeRun();
    void gateCalledTwiceProbesOnce();
    void gateAbsent();
    void gateLaunchFails();
    void gateLaunchesWhenPresentNotRunning();
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

    if (valid)
        QCOMPARE(isEmittableSample(temperature, usage), emits);

    Counters counters;
    QHardwareDataObj sampler(fakeSources(counters, {valid, temperature, load}, usage));
    Receiver receiver;
    connectReceiver(sampler, receiver);
    QSignalSpy spy(&receiver, &Receiver::received);
    QVERIFY(sampler.startSampler());

    if (emits) {
        QVERIFY(spy.wait(5000));
        QVERIFY(stopAndDrain(sampler));
        QVERIFY(spy.count() >= 1);
        for (const QList<QVariant> &args : spy) {
            QCOMPARE(args.at(0).value<float>(), float(load));
            QCOMPARE(args.at(1).value<float>(), temperature);
            QCOMPARE(args.at(2).value<float>(), usage);
        }
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(counters.cycles >= 3, 5000);
        QVERIFY(stopAndDrain(sampler));
        QCOMPARE(spy.count(), 0);
    }
}

void TestHardwareDataObj::readsCoreZeroOfPublishedBlock()
{
    const auto readCore = SamplerSources::system().readCore;

    removeCoreTempBlock();
    QCOMPARE(readCore().valid, false);

    CoreTempSharedData block = makeCoreTempBlock(2);
    QVERIFY(publishCoreTempBlock(block));
    CoreReading reading = readCore();
    QVERIFY(reading.valid);
    QCOMPARE(reading.temperature, 40.0f);
    QCOMPARE(reading.load, 10u);

    // A count of 0 means no usable data, whatever the arrays hold.
    block.uiCPUCnt = 0;
    QVERIFY(publishCoreTempBlock(block));
    reading = readCore();
    QVERIFY(!reading.valid);
    QCOMPARE(reading.temperature, 0.0f);
    QCOMPARE(reading.load, 0u);

    QVERIFY(publishCoreTempBytes(&block, sizeof block - 1));
    QVERIFY(!readCore().valid);
    removeCoreTempBlock();
}

void TestHardwareDataObj::emitsCoreZeroOnly()
{
    // Two cores, the second hotter and busier: only core 0 reaches the signal,
    // never an average or a maximum.
    CoreTempSharedData block = makeCoreTempBlock(2);
    block.fTemp[1] = 80.0f;
    block.uiLoad[1] = 90;
    QVERIFY(publishCoreTempBlock(block));

    Counters counters;
    SamplerSources sources = fakeSources(counters);
    sources.readCore = SamplerSources::system().readCore;
    QHardwareDataObj sampler(sources);
    Receiver receiver;
    connectReceiver(sampler, receiver);
    QSignalSpy spy(&receiver, &Receiver::received);
    QVERIFY(sampler.startSampler());
    QVERIFY(spy.wait(5000));
    QVERIFY(stopAndDrain(sampler));
    removeCoreTempBlock();

    const QList<QVariant> args = spy.first();
    QCOMPARE(args.at(0).value<float>(), 10.0f);
    QCOMPARE(args.at(1).value<float>(), 40.0f);
    QCOMPARE(args.at(2).value<float>(), 62.5f);
}

void TestHardwareDataObj::stopSetDuringSleep()
{
    Counters counters;
    SamplerSources sources = fakeSources(counters);
    // Long enough that the stop lands in the sleep after the first emission.
    sources.intervalMs = 1000;
    QHardwareDataObj sampler(sources);
    Receiver receiver;
    connectReceiver(sampler, receiver);
    QSignalSpy spy(&receiver, &Receiver::received);
    QSignalSpy finished(&sampler, &QThread::finished);

    QVERIFY(sampler.startSampler());
    QVERIFY(spy.wait(5000));
    sampler.requestStop();
    QVERIFY(sampler.isRunning()); // still asleep: run returns only after the sleep
    QVERIFY(finished.wait(5000));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(counters.cycles.load(), 1);
    QCOMPARE(spy.count(), 1);
}

void TestHardwareDataObj::stopSetDuringCycleCompletesIt()
{
    Counters counters;
    SamplerSources sources = fakeSources(counters);
    QHardwareDataObj *self = nullptr;
    // The stop comes while the first cycle reads: that cycle still emits.
    sources.readMemoryUsage = [&] {
        ++counters.cycles;
        self->requestStop();
        return 62.5f;
    };
    QHardwareDataObj sampler(sources);
    self = &sampler;
    Receiver receiver;
    connectReceiver(sampler, receiver);
    QSignalSpy spy(&receiver, &Receiver::received);
    QVERIFY(sampler.startSampler());
    QVERIFY(spy.wait(5000));
    QVERIFY(sampler.wait(5000));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(counters.cycles.load(), 1);
    QCOMPARE(spy.count(), 1);
}

void TestHardwareDataObj::stopFlagSetBeforeRun()
{
    Counters counters;
    QHardwareDataObj sampler(fakeSources(counters));
    Receiver receiver;
    connectReceiver(sampler, receiver);
    QSignalSpy spy(&receiver, &Receiver::received);
    sampler.start(); // bypasses the gate: the flag is still true
    QVERIFY(sampler.wait(5000));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(counters.cycles.load(), 0);
    QCOMPARE(spy.count(), 0);
}

void TestHardwareDataObj::gateCalledTwiceProbesOnce()
{
    Counters counters;
    QHardwareDataObj sampler(fakeSources(counters));
    QVERIFY(sampler.startSampler());
    QVERIFY(sampler.startSampler());
    QCOMPARE(counters.probes.load(), 1);
    QCOMPARE(counters.launches.load(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(counters.cycles >= 1, 5000);
    QVERIFY(stopAndDrain(sampler));
}

void TestHardwareDataObj::gateAbsent()
{
    Counters counters;
    QHardwareDataObj sampler(fakeSources(counters, {true, 45.5f, 37}, 62.5f, Absent));
    QVERIFY(!sampler.startSampler());
    QCOMPARE(counters.probes.load(), 1);
    QCOMPARE(counters.launches.load(), 0);
    QVERIFY(!sampler.isRunning());
    QVERIFY(!sampler.isFinished()); // never started
    QCOMPARE(counters.cycles.load(), 0);
}

void TestHardwareDataObj::gateLaunchFails()
{
    Counters counters;
    QHardwareDataObj sampler(
        fakeSources(counters, {true, 45.5f, 37}, 62.5f, PresentNotRunning, false));
    QVERIFY(!sampler.startSampler());
    QCOMPARE(counters.launches.load(), 1);
    QCOMPARE(counters.launchedPath, coreTempPath());
    QVERIFY(!sampler.isRunning());
    QVERIFY(!sampler.isFinished());
    QCOMPARE(counters.cycles.load(), 0);
    // The flag stayed true: a later call probes again rather than claiming success.
    QVERIFY(!sampler.startSampler());
    QCOMPARE(counters.probes.load(), 2);
}

void TestHardwareDataObj::gateLaunchesWhenPresentNotRunning()
{
    Counters counters;
    QHardwareDataObj sampler(
        fakeSources(counters, {true, 45.5f, 37}, 62.5f, PresentNotRunning, true));
    Receiver receiver;
    connectReceiver(sampler, receiver);
    QSignalSpy spy(&receiver, &Receiver::received);
    QVERIFY(sampler.startSampler());
    QCOMPARE(counters.launches.load(), 1);
    QCOMPARE(counters.launchedPath, coreTempPath());
    QVERIFY(counters.launchedPath.endsWith(QLatin1String("Core Temp.exe")));
    QVERIFY(spy.wait(5000)); // started at once, without waiting for Core Temp
    QVERIFY(stopAndDrain(sampler));
}

QTEST_GUILESS_MAIN(TestHardwareDataObj)
#include "tst_hardware_data_obj.moc"
