// The two requests through real libcurl against a real HTTP server on
// loopback: how bodies arrive, how transfers fail, what goes on the wire.

#include "fake_http_server.h"
#include "weather/city_lookup.h"
#include "weather/http_get.h"
#include "weather/weather_client.h"
#include "weather_signal_relay.h"

#include <QtTest>

#include <curl/curl.h>

#include <limits>
#include <memory>

namespace {

const QByteArray kWeatherPath = "/data/2.5/weather";
const QByteArray kCityAnswer = R"({"status":"success","country":"Brazil","city":"S\u00e3o Paulo"})";
const QByteArray kWeatherAnswer = R"({"weather":[{"id":202,"description":"雷阵雨"}],)"
                                  R"("main":{"temp":21.6},"name":"São Paulo","cod":200})";

} // namespace

class TestHttp : public FakeHttpTest
{
    Q_OBJECT
private slots:
    void collectorRefusesOverflowingCounts();

    void bodyInManyChunks();
    void lookupFailures_data();
    void lookupFailures();
    void bodyOfExactlyTheCapIsKept();
    void requestPathsAndUserAgents();
    void weatherTransferFailures_data();
    void weatherTransferFailures();

private:
    /// Runs one client against the fake server and returns its one outcome.
    QString weatherOutcome(long timeoutSeconds);
};

// size * count must not wrap around and slip under the cap.
void TestHttp::collectorRefusesOverflowingCounts()
{
    std::string text;
    QByteArray bytes;
    char data[4] = {};
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2 + 1;
    QCOMPARE(collectToStdString(data, 2, huge, &text), std::size_t(0));
    QCOMPARE(collectToByteArray(data, 2, huge, &bytes), std::size_t(0));
    QCOMPARE(collectToStdString(data, 1, 4, &text), std::size_t(4));
    QCOMPARE(text.size(), std::size_t(4));
}

void TestHttp::bodyInManyChunks()
{
    QByteArray body;
    for (int i = 0; body.size() < 200 * 1024; ++i)
        body += QByteArray::number(i) + ',';
    FakeResponse response = respond(body);
    response.chunks = 40;
    response.chunkDelayMs = 2;
    m_server->setResponse("/big", response);
    const std::string got = httpGetToString(m_server->baseUrl().toStdString() + "/big", 10);
    QCOMPARE(QByteArray::fromStdString(got), body);

    FakeResponse city = respond(kCityAnswer);
    city.chunks = kCityAnswer.size(); // one byte per write
    city.chunkDelayMs = 1;
    m_server->setResponse("/json", city);
    QCOMPARE(QString::fromStdString(lookupCityByIp(m_server->baseUrl().toStdString(), 10)),
             QString::fromUtf8("São Paulo"));
}

void TestHttp::lookupFailures_data()
{
    QTest::addColumn<FakeResponse>("response");

    // A whole, valid answer followed by padding the server never sends: were
    // the partial body kept, it would decode to a city.
    FakeResponse cut = respond(R"({"status":"success","city":"Berlin"})" + QByteArray(4096, ' '));
    cut.cutAfter = int(qstrlen(R"({"status":"success","city":"Berlin"})"));
    QTest::newRow("cut off mid-transfer") << cut;

    QTest::newRow("no answer within the time-out") << hang();
}

void TestHttp::lookupFailures()
{
    QFETCH(FakeResponse, response);
    m_server->setResponse("/json", response);
    QCOMPARE(lookupCityByIp(m_server->baseUrl().toStdString(), 1), std::string());
    QCOMPARE(m_server->requestCount("/json"), 1);
}

void TestHttp::bodyOfExactlyTheCapIsKept()
{
    const QByteArray body(int(kMaxBodyBytes), 'x');
    m_server->setResponse("/cap", respond(body));
    QCOMPARE(httpGetToString(m_server->baseUrl().toStdString() + "/cap", 10).size(), kMaxBodyBytes);
    m_server->setResponse("/over", respond(body + 'x'));
    QCOMPARE(httpGetToString(m_server->baseUrl().toStdString() + "/over", 10), std::string());
}

QString TestHttp::weatherOutcome(long timeoutSeconds)
{
    WeatherHooks endpoints = endpointsAt(*m_server);
    endpoints.weatherTimeoutSeconds = timeoutSeconds;
    QWeatherClient client(QString(), QString::fromLatin1(kWeatherApiKey), nullptr, endpoints);
    WeatherSignalRelay relay(&client);
    QSignalSpy updated(&relay, &WeatherSignalRelay::weatherUpdated);
    QSignalSpy failed(&relay, &WeatherSignalRelay::errorOccurred);
    if (!failed.wait(15000) || failed.size() != 1 || !updated.isEmpty())
        return QStringLiteral("<no single error: %1 errors, %2 updates>")
            .arg(failed.size())
            .arg(updated.size());
    return failed.at(0).at(0).toString();
}

void TestHttp::requestPathsAndUserAgents()
{
    m_server->setResponse("/json", respond(kCityAnswer));
    m_server->setResponse(kWeatherPath, respond(kWeatherAnswer));

    QWeatherClient client(QString(), QString::fromLatin1(kWeatherApiKey), nullptr,
                          endpointsAt(*m_server));
    WeatherSignalRelay relay(&client);
    QSignalSpy updated(&relay, &WeatherSignalRelay::weatherUpdated);
    QVERIFY(updated.wait(15000));
    QCOMPARE(updated.at(0).at(0).toFloat(), 21.6f);
    QCOMPARE(updated.at(0).at(1).value<uchar>(), uchar(3));

    const QList<FakeRequest> requests = m_server->requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).target, QByteArray("/json"));
    QCOMPARE(requests.at(0).userAgent, QByteArray("DedoRiruruz/1.0"));
    QCOMPARE(requests.at(1).target, QByteArray("/data/2.5/weather?q=S%C3%A3o%20Paulo&appid=") +
                                        kWeatherApiKey + "&units=metric&lang=zh_cn");
    QCOMPARE(requests.at(1).userAgent, QByteArray("VurudedIva/1.0"));
}

void TestHttp::weatherTransferFailures_data()
{
    QTest::addColumn<FakeResponse>("response");
    QTest::addColumn<QString>("message");

    FakeResponse cut = respond(kWeatherAnswer + QByteArray(4096, ' '));
    cut.cutAfter = kWeatherAnswer.size();
    QTest::newRow("cut off mid-transfer")
        << cut << QStringLiteral("libcurl error: ") + curl_easy_strerror(CURLE_PARTIAL_FILE);

    QTest::newRow("no answer within the time-out")
        << hang() << QStringLiteral("libcurl error: Timeout was reached");

    // Bytes keep coming, too slowly to end within the time-out.
    FakeResponse trickle = respond(kWeatherAnswer);
    trickle.chunks = kWeatherAnswer.size();
    trickle.chunkDelayMs = 200;
    QTest::newRow("a byte at a time past the time-out")
        << trickle << QStringLiteral("libcurl error: Timeout was reached");

    QTest::newRow("oversized body")
        << respond(kWeatherAnswer + QByteArray(int(kMaxBodyBytes), ' '))
        << QStringLiteral("libcurl error: ") + curl_easy_strerror(CURLE_WRITE_ERROR);
}

void TestHttp::weatherTransferFailures()
{
    QFETCH(FakeResponse, response);
    QFETCH(QString, message);
    m_server->setResponse(kWeatherPath, response);
    QCOMPARE(weatherOutcome(1), message);
}

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
