// QWeatherClient as a whole: one outcome per request, refreshes on its own
// thread with the city found once, retries soon after a failure, a main
// thread the network never holds up, and a prompt, clean destruction.

#include "fake_http_server.h"
#include "weather/weather_client.h"
#include "weather_signal_relay.h"

#include <QtTest>

#include <algorithm>
#include <memory>
#include <mutex>

namespace {

const QByteArray kWeatherPath = "/data/2.5/weather";
const QByteArray kWeatherAnswer =
    R"({"weather":[{"id":804}],"main":{"temp":-3.7},"name":"Berlin","cod":200})";

} // namespace

class TestWeatherClient : public FakeHttpTest
{
    Q_OBJECT
private slots:
    void refreshesUseTheFoundCityWithOneOutcomeEach();
    void retriesKeepTheConstructorCityWhenLookupFails_data();
    void retriesKeepTheConstructorCityWhenLookupFails();
    void retriesSoonAfterAFailure_data();
    void retriesSoonAfterAFailure();
    void firstOutcomeWaitsForTheCreatorsConnections();
    void hungServerNeverHoldsUpTheMainThread();
    void destructionIsPromptInEveryPhase_data();
    void destructionIsPromptInEveryPhase();

private:
    WeatherHooks endpoints(int refreshIntervalMs = 30 * 60 * 1000) const;
};

WeatherHooks TestWeatherClient::endpoints(int refreshIntervalMs) const
{
    WeatherHooks e = endpointsAt(*m_server);
    e.refreshIntervalMs = refreshIntervalMs;
    return e;
}

void TestWeatherClient::refreshesUseTheFoundCityWithOneOutcomeEach()
{
    m_server->setResponse("/json", respond(R"({"status":"success","city":"Berlin"})"));
    m_server->setResponse(kWeatherPath, respond(kWeatherAnswer));

    QWeatherClient client(QStringLiteral("Paris"), QStringLiteral("key"), nullptr, endpoints(50));
    WeatherSignalRelay relay(&client);
    QSignalSpy updated(&relay, &WeatherSignalRelay::weatherUpdated);
    QSignalSpy failed(&relay, &WeatherSignalRelay::errorOccurred);
    QAtomicInt emittedOnMainThread = 0;
    QThread *const mainThread = QThread::currentThread();
    connect(
        &client, &QWeatherClient::weatherUpdated, this,
        [&] {
            if (QThread::currentThread() == mainThread)
                emittedOnMainThread.ref();
        },
        Qt::DirectConnection);

    QTRY_VERIFY_WITH_TIMEOUT(updated.size() >= 3, 15000);

    // From the next request on the server never answers. Requests run one
    // at a time, so once that request has arrived every earlier one has
    // finished and posted its outcome.
    const int answered = m_server->setResponse(kWeatherPath, hang());
    QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount(kWeatherPath) > answered, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), answered, 5000);
    QCoreApplication::processEvents();
    QCOMPARE(updated.size(), answered);
    QCOMPARE(failed.size(), 0);
    QCOMPARE(m_server->requestCount(kWeatherPath), answered + 1);

    for (const QList<QVariant> &outcome : qAsConst(updated)) {
        QCOMPARE(outcome.at(0).toFloat(), -3.7f);
        QCOMPARE(outcome.at(1).value<uchar>(), uchar(59));
    }
    QCOMPARE(emittedOnMainThread.loadRelaxed(), 0);
    QCOMPARE(m_server->requestCount("/json"), 1);
    for (const FakeRequest &request : m_server->requests()) {
        if (request.path == kWeatherPath)
            QVERIFY2(request.target.startsWith("/data/2.5/weather?q=Berlin&appid=key&"),
                     request.target.constData());
    }
}

void TestWeatherClient::retriesKeepTheConstructorCityWhenLookupFails_data()
{
    QTest::addColumn<QString>("city");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("query");
    QTest::newRow("a name") << QStringLiteral("Paris") << QStringLiteral("key")
                            << QByteArray("q=Paris&appid=key&");
    // Only letters, digits and "-._~" go out as they are, the rest as
    // upper-case hex, so that no name or key can end or extend the query.
    QTest::newRow("space, non-ASCII and unreserved")
        << QString::fromUtf8("São Paulo-._~") << QStringLiteral("AZaz09")
        << QByteArray("q=S%C3%A3o%20Paulo-._~&appid=AZaz09&");
    QTest::newRow("query delimiters and control bytes")
        << QStringLiteral("a&b=c?d#e+f/g%") << QString::fromLatin1("k\x00\x1f\x7f=", 5)
        << QByteArray("q=a%26b%3Dc%3Fd%23e%2Bf%2Fg%25&appid=k%00%1F%7F%3D&");
}

void TestWeatherClient::retriesKeepTheConstructorCityWhenLookupFails()
{
    QFETCH(QString, city);
    QFETCH(QString, key);
    QFETCH(QByteArray, query);
    m_server->setResponse("/json", respond(R"({"status":"fail","message":"reserved range"})"));
    // What the service says to an empty "q".
    m_server->setResponse(kWeatherPath, respond(R"({"cod":"400","message":"Nothing to geocode"})"));

    WeatherHooks e = endpoints();
    e.retryFirstIntervalMs = 50;
    e.retryMaxIntervalMs = 50;
    QWeatherClient client(city, key, nullptr, e);
    WeatherSignalRelay relay(&client);
    QSignalSpy updated(&relay, &WeatherSignalRelay::weatherUpdated);
    QSignalSpy failed(&relay, &WeatherSignalRelay::errorOccurred);
    QTRY_VERIFY_WITH_TIMEOUT(failed.size() >= 2, 15000);
    QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("API 错误: Nothing to geocode"));
    QCOMPARE(updated.size(), 0);
    int weatherRequests = 0;
    for (const FakeRequest &request : m_server->requests()) {
        if (request.path != kWeatherPath)
            continue;
        ++weatherRequests;
        QVERIFY2(request.target.startsWith("/data/2.5/weather?" + query),
                 request.target.constData());
    }
    QVERIFY(weatherRequests >= 2);
}

void TestWeatherClient::retriesSoonAfterAFailure_data()
{
    QTest::addColumn<int>("lookupFailures");
    QTest::addColumn<int>("weatherFailures");
    // The network comes late: the city is looked up again on each try, and
    // asked for once found.
    QTest::newRow("lookup fails twice") << 2 << 0;
    // The service refuses for a while: tries back off to the cap; the city,
    // once known, is never looked up again.
    QTest::newRow("weather fails four times") << 0 << 4;
}

// Both services answer badly the given number of times, then well. Every try
// but the first is timed from the weather request before it: the retries
// come after 200, 400, 800, 800 ms, and once the weather came, the refresh
// interval holds.
void TestWeatherClient::retriesSoonAfterAFailure()
{
    QFETCH(int, lookupFailures);
    QFETCH(int, weatherFailures);
    const QByteArray city = R"({"status":"success","city":"Berlin"})";
    const QByteArray refused = R"({"cod":401,"message":"Invalid API key"})";
    m_server->setResponse("/json", lookupFailures > 0 ? respond(R"({"status":"fail"})")
                                                      : respond(city));
    m_server->setResponse(kWeatherPath, weatherFailures > 0 ? respond(refused)
                                                            : respond(kWeatherAnswer));
    QElapsedTimer clock;
    clock.start();
    std::mutex timesMutex;
    QList<qint64> weatherTimes;
    int lookups = 0;
    m_server->setRequestObserver([&](const FakeRequest &request) {
        // On the server's thread; the answer to this request is chosen already.
        const std::lock_guard<std::mutex> lock(timesMutex);
        if (request.path == "/json" && ++lookups == lookupFailures)
            m_server->setResponse("/json", respond(city));
        if (request.path == kWeatherPath) {
            weatherTimes << clock.elapsed();
            if (weatherTimes.size() == weatherFailures)
                m_server->setResponse(kWeatherPath, respond(kWeatherAnswer));
        }
    });

    const int refreshMs = 3000;
    WeatherHooks e = endpoints(refreshMs);
    e.retryFirstIntervalMs = 200;
    e.retryMaxIntervalMs = 800;
    auto client = std::make_unique<QWeatherClient>(QString(), QStringLiteral("key"), nullptr, e);
    WeatherSignalRelay relay(client.get());
    QSignalSpy failed(&relay, &WeatherSignalRelay::errorOccurred);

    // The failing tries, then the first good one and two refreshes.
    const int failures = std::max(lookupFailures, weatherFailures);
    const int wanted = failures + 3;
    const auto timedTries = [&] {
        const std::lock_guard<std::mutex> lock(timesMutex);
        return weatherTimes.size();
    };
    QTRY_VERIFY_WITH_TIMEOUT(timedTries() >= wanted, 20000);
    client.reset();
    m_server->setRequestObserver(nullptr);
    QCoreApplication::processEvents();

    QCOMPARE(failed.size(), weatherFailures);
    QCOMPARE(m_server->requestCount("/json"), lookupFailures + 1);
    const QList<FakeRequest> requests = m_server->requests();
    // Each try while the city is unknown looks it up before the weather.
    for (int i = 0; i <= lookupFailures; ++i) {
        QCOMPARE(requests.at(2 * i).path, QByteArray("/json"));
        QCOMPARE(requests.at(2 * i + 1).path, kWeatherPath);
    }
    int weatherSeen = 0;
    for (const FakeRequest &request : requests) {
        if (request.path != kWeatherPath)
            continue;
        const QByteArray q = weatherSeen++ < lookupFailures ? "q=&" : "q=Berlin&";
        QVERIFY2(request.target.startsWith("/data/2.5/weather?" + q), request.target.constData());
    }
    const std::lock_guard<std::mutex> lock(timesMutex);
    for (int i = 1; i < wanted; ++i) {
        const int expected =
            i <= failures ? std::min(e.retryFirstIntervalMs << (i - 1), e.retryMaxIntervalMs)
                          : refreshMs;
        const qint64 gap = weatherTimes.at(i) - weatherTimes.at(i - 1);
        // A coarse timer may fire up to 5 % early; the transfers and a loaded
        // machine may add up to 700 ms, still short of an uncapped 1600.
        QVERIFY2(gap >= expected * 9 / 10 && gap <= expected + 700,
                 qPrintable(QStringLiteral("try %1 came %2 ms after the one before, not %3")
                                .arg(i)
                                .arg(gap)
                                .arg(expected)));
    }
}

// The creator connects after the constructor has returned, however long it
// takes: the thread must not run (and emit QThread::started, or an outcome)
// before the creator is back in its event loop.
void TestWeatherClient::firstOutcomeWaitsForTheCreatorsConnections()
{
    m_server->setResponse("/json", respond(R"({"status":"success","city":"Berlin"})"));
    m_server->setResponse(kWeatherPath, respond(kWeatherAnswer));

    QWeatherClient client(QString(), QStringLiteral("key"), nullptr, endpoints());
    QThread::msleep(300);
    QVERIFY(!client.isRunning());
    QCOMPARE(m_server->requestCount("/json"), 0);

    WeatherSignalRelay relay(&client);
    QSignalSpy updated(&relay, &WeatherSignalRelay::weatherUpdated);
    QSignalSpy failed(&relay, &WeatherSignalRelay::errorOccurred);
    QVERIFY(updated.wait(15000));
    QCOMPARE(updated.size(), 1);
    QCOMPARE(failed.size(), 0);
}

void TestWeatherClient::hungServerNeverHoldsUpTheMainThread()
{
    m_server->setResponse("/json", respond(R"({"status":"success","city":"Berlin"})"));
    m_server->setResponse(kWeatherPath, hang());

    auto client =
        std::make_unique<QWeatherClient>(QString(), QStringLiteral("key"), nullptr, endpoints());
    WeatherSignalRelay relay(client.get());
    QSignalSpy updated(&relay, &WeatherSignalRelay::weatherUpdated);
    QSignalSpy failed(&relay, &WeatherSignalRelay::errorOccurred);

    int ticks = 0;
    QTimer record;
    record.setInterval(50);
    connect(&record, &QTimer::timeout, this, [&] { ++ticks; });
    QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount(kWeatherPath) == 1, 15000);
    record.start();
    // Twenty records' worth of ticks while the request hangs (its time-out
    // is the default 30 seconds).
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= 20, 10000);
    QCOMPARE(updated.size() + failed.size(), 0);

    client.reset();
    QCoreApplication::processEvents();
    QCOMPARE(updated.size() + failed.size(), 0);
}

void TestWeatherClient::destructionIsPromptInEveryPhase_data()
{
    QTest::addColumn<bool>("lookupHangs");
    QTest::addColumn<bool>("weatherHangs");
    QTest::addColumn<bool>("loopRan");
    QTest::newRow("during the lookup") << true << false << true;
    QTest::newRow("during the weather request") << false << true << true;
    QTest::newRow("before the creator's event loop ran") << false << false << false;
    QTest::newRow("idle between refreshes") << false << false << true;
}

// Each phase would otherwise hold the destructor for a transfer's whole
// 30-second time-out, or for ever; promptness here means well inside that.
void TestWeatherClient::destructionIsPromptInEveryPhase()
{
    QFETCH(bool, lookupHangs);
    QFETCH(bool, weatherHangs);
    QFETCH(bool, loopRan);
    WeatherHooks e = endpoints();
    e.lookupTimeoutSeconds = 30;
    m_server->setResponse("/json",
                          lookupHangs ? hang() : respond(R"({"status":"success","city":"Rom"})"));
    m_server->setResponse(kWeatherPath, weatherHangs ? hang() : respond(kWeatherAnswer));

    auto client = std::make_unique<QWeatherClient>(QString(), QStringLiteral("key"), nullptr, e);
    const QByteArray lastPath = lookupHangs ? QByteArray("/json") : kWeatherPath;
    if (loopRan) {
        WeatherSignalRelay relay(client.get());
        QSignalSpy updated(&relay, &WeatherSignalRelay::weatherUpdated);
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requestCount(lastPath) == 1, 15000);
        if (!lookupHangs && !weatherHangs)
            QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, 15000);
    }
    QElapsedTimer clock;
    clock.start();
    client.reset();
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    // A start still queued for the client must have gone with it.
    QCoreApplication::processEvents();
    QCOMPARE(m_server->requestCount(kWeatherPath), lookupHangs || !loopRan ? 0 : 1);
    QCOMPARE(m_server->requestCount("/json"), loopRan ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestWeatherClient)
#include "tst_weather_client.moc"
