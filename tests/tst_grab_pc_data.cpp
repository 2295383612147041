#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "fake_http_server.h"
#include "output/grab_pc_data.h"
#include "output/output_record.h"
#include "weather_signal_relay.h"

// QGrabPcData through its slots, with the clock, the volume and the line sink
// replaced; its wiring against the real sampler thread (fed by fake readings)
// and the real weather client (talking to the loopback HTTP server of
// fake_http_server.h).

namespace {

struct Recorder
{
    QList<QByteArray> lines;
    QList<QDateTime> instants; ///< what the clock hands out, in turn
    int clockReads = 0;
    double volume = -1.0; ///< a failed reading, which the record passes on
    QStringList calls;    ///< the order of clock and volume reads

    GrabHooks hooks()
    {
        GrabHooks hooks = GrabHooks::system();
        hooks.clock = [this] {
            calls << "clock";
            const QDateTime now =
                instants.value(clockReads, QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)));
            ++clockReads;
            return now;
        };
        hooks.readVolume = [this] {
            calls << "volume";
            return volume;
        };
        hooks.writeLine = [this](const QByteArray &line) { lines << line; };
        // Never reaches Core Temp: the sampler is registered by initTestCase.
        hooks.samplerHooks.probe = [] { return Absent; };
        hooks.samplerHooks.launch = [](const QString &) { return false; };
        return hooks;
    }

    QJsonObject last() const
    {
        return lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.last()).object();
    }
};

} // namespace

class TestGrabPcData : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void samplerAndWeatherWired();
    void registryFilledOnce();
    void weatherCache_data();
    void weatherCache();
    void recordAcrossMidnight();
    void recordQueueDropsOldest();
    void cleanupTestCase();

private:
    FakeHttpServer m_service;
    Recorder m_firstRecorder;
    QGrabPcData *m_first = nullptr;
    QSignalSpy *m_updated = nullptr;
    QSignalSpy *m_errors = nullptr;
};

void TestGrabPcData::initTestCase()
{
    // The first aggregator fills the registry; every later one shares it.
    QVERIFY(!ObjectRegistry::sampler);
    QVERIFY(!ObjectRegistry::weatherClient);
    GrabHooks hooks = m_firstRecorder.hooks();
    auto samples = std::make_shared<std::atomic<int>>(0);
    hooks.samplerHooks.probe = [] { return Running; };
    hooks.samplerHooks.intervalMs = 5;
    hooks.samplerHooks.readCore = [samples] {
        CoreReading reading;
        reading.valid = ++*samples <= 3; // three samples, then Core Temp has no data
        reading.temperature = 47.5f;
        reading.load = 12;
        return reading;
    };
    hooks.samplerHooks.readMemoryUsage = [] { return 63.2f; };
    // The city, then 21.9 degrees and condition 202 for the first weather
    // request, and the service's key error for every later one.
    QVERIFY(m_service.listen());
    m_service.setResponse("/json", respond(R"({"status":"success","city":"Testville"})"));
    const QByteArray weatherPath = "/data/2.5/weather";
    m_service.setResponse(weatherPath,
                          respond(R"({"cod":200,"main":{"temp":21.9},"weather":[{"id":202}]})"));
    m_service.setRequestObserver([this, weatherPath](const FakeRequest &request) {
        if (request.path == weatherPath)
            m_service.setResponse(weatherPath,
                                  respond(R"({"cod":401,"message":"Invalid API key."})"));
    });
    hooks.weatherHooks = endpointsAt(m_service);
    hooks.weatherHooks.lookupTimeoutSeconds = 5;
    hooks.weatherHooks.weatherTimeoutSeconds = 5;
    hooks.weatherHooks.refreshIntervalMs = 100;
    hooks.weatherHooks.retryFirstIntervalMs = 100;
    hooks.weatherHooks.retryMaxIntervalMs = 100;
    m_first = new QGrabPcData(hooks);
    QVERIFY(ObjectRegistry::sampler);
    QVERIFY(ObjectRegistry::weatherClient);
    // No answer can arrive before our event loop serves the requests.
    // Spied through a relay on this thread: a spy on the client itself would
    // record on the weather thread while the test reads it.
    auto *relay = new WeatherSignalRelay(ObjectRegistry::weatherClient);
    m_updated = new QSignalSpy(relay, SIGNAL(weatherUpdated(float, uchar)));
    m_errors = new QSignalSpy(relay, SIGNAL(errorOccurred(QString)));
}

void TestGrabPcData::samplerAndWeatherWired()
{
    // Three samples reach on_CPU_Param through the queued connection.
    QTRY_COMPARE_WITH_TIMEOUT(m_firstRecorder.lines.size(), 3, 10000);
    for (const QByteArray &line : m_firstRecorder.lines) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        QCOMPARE(record.value("CpuLoad").toInt(), 12);
        QCOMPARE(record.value("CpuTemperature").toInt(), 47);
        QCOMPARE(record.value("memoryusge").toInt(), 63);
    }

    // The weather comes through weatherUpdated; the refreshes that follow fail
    // through errorOccurred and leave it in place.
    QTRY_COMPARE_WITH_TIMEOUT(m_updated->count(), 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_errors->count() >= 2, 10000);
    QCoreApplication::processEvents(); // hands the last queued error to the slot
    m_first->on_CPU_Param(1, 2, 3);
    QCOMPARE(m_firstRecorder.last().value("ServerWeather").toInt(), 21);
    QCOMPARE(m_firstRecorder.last().value("ServerWeatherID").toInt(), 3);
    QCOMPARE(m_updated->count(), 1);
}

void TestGrabPcData::registryFilledOnce()
{
    QHardwareDataObj *const sampler = ObjectRegistry::sampler;
    QWeatherClient *const client = ObjectRegistry::weatherClient;
    QCOMPARE(client->parent(), m_first);
    {
        Recorder recorder;
        QGrabPcData second(recorder.hooks());
        QCOMPARE(ObjectRegistry::sampler, sampler);
        QCOMPARE(ObjectRegistry::weatherClient, client);
    }
    QCOMPARE(ObjectRegistry::sampler, sampler);
    QCOMPARE(ObjectRegistry::weatherClient, client);
}

void TestGrabPcData::weatherCache_data()
{
    QTest::addColumn<bool>("update");
    QTest::addColumn<float>("temperature");
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("thenErrors");
    QTest::addColumn<int>("expectedTemperature");
    QTest::addColumn<int>("expectedId");
    QTest::newRow("before any weather") << false << 0.0f << 0 << false << 25 << 60;
    QTest::newRow("21.9, 3") << true << 21.9f << 3 << false << 21 << 3;
    QTest::newRow("-3.7 stays negative") << true << -3.7f << 3 << false << -3 << 3;
    QTest::newRow("non-finite keeps the cache")
        << true << std::numeric_limits<float>::infinity() << 9 << false << 25 << 60;
    QTest::newRow("errors keep the weather") << true << 21.9f << 3 << true << 21 << 3;
}

void TestGrabPcData::weatherCache()
{
    QFETCH(bool, update);
    QFETCH(float, temperature);
    QFETCH(int, id);
    QFETCH(bool, thenErrors);
    QFETCH(int, expectedTemperature);
    QFETCH(int, expectedId);

    Recorder recorder;
    QGrabPcData grab(recorder.hooks());
    if (update)
        grab.on_weatherUpdated(temperature, static_cast<uchar>(id));
    if (thenErrors) {
        grab.on_errorOccurred(QStringLiteral("libcurl error: Couldn't connect to server"));
        grab.on_errorOccurred(QString());
    }
    grab.on_CPU_Param(12.9f, 47.5f, 63.2f);
    QCOMPARE(recorder.lines.size(), 1);
    const QJsonObject record = recorder.last();
    QCOMPARE(record.value("ServerWeather").toInt(), expectedTemperature);
    QCOMPARE(record.value("ServerWeatherID").toInt(), expectedId);
}

void TestGrabPcData::recordAcrossMidnight()
{
    Recorder recorder;
    // The clock turns over between any two reads: only a record built from a
    // single read can be consistent.
    recorder.instants = {QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59, 999)),
                         QDateTime(QDate(2024, 1, 1), QTime(0, 0, 0))};
    QGrabPcData grab(recorder.hooks());
    grab.on_CPU_Param(12.9f, 47.5f, 63.2f);
    QCOMPARE(recorder.clockReads, 1);
    QCOMPARE(recorder.calls, QStringList({"clock", "volume"}));
    RecordValues values;
    values.load = 12.9f;
    values.temperature = 47.5f;
    values.memoryUsage = 63.2f;
    values.systemVolume = recorder.volume;
    QCOMPARE(recorder.lines, QList<QByteArray>{buildRecordLine(recorder.instants.first(), values)});
}

// A reader that stalls must cost a bounded queue, not memory without end;
// what waits is the newest, in order. An empty queue holds its writer until
// the next record comes or the time runs out, when the writer looks whether
// its reader is still there.
void TestGrabPcData::recordQueueDropsOldest()
{
    using std::chrono::milliseconds;
    RecordQueue queue(3);
    QList<bool> kept;
    for (const char *line : {"1", "2", "3", "4", "5"})
        kept << queue.push(line);
    QCOMPARE(kept, (QList<bool>{true, true, true, false, false}));
    QCOMPARE(queue.size(), std::size_t(3));
    QByteArrayList popped;
    QByteArray line;
    while (queue.popFor(&line, milliseconds(0)))
        popped << line;
    QCOMPARE(popped, (QByteArrayList{"3", "4", "5"}));

    QElapsedTimer waited;
    waited.start();
    QVERIFY(!queue.popFor(&line, milliseconds(200)));
    QVERIFY2(waited.elapsed() >= 190, qPrintable(QString::number(waited.elapsed())));

    std::thread producer([&] {
        QThread::msleep(50);
        queue.push("6");
    });
    waited.restart();
    QVERIFY(queue.popFor(&line, milliseconds(10000)));
    QCOMPARE(line, QByteArray("6"));
    QVERIFY2(waited.elapsed() < 5000, qPrintable(QString::number(waited.elapsed())));
    producer.join();
}

// The sampler and weather threads outlive every aggregator, so they are
// ended here: left running, they would post their signals to an application
// object that is being destroyed.
void TestGrabPcData::cleanupTestCase()
{
    delete m_first; // leaves the weather client without a parent
    delete ObjectRegistry::weatherClient;
    delete ObjectRegistry::sampler;
    ObjectRegistry::weatherClient = nullptr;
    ObjectRegistry::sampler = nullptr;
}

QTEST_GUILESS_MAIN(TestGrabPcData)
#include "tst_grab_pc_data.moc"
