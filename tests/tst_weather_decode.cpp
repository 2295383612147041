#include "weather/weather_client.h"

#include <QtTest>

class TestWeatherDecode : public QObject
{
    Q_OBJECT
private slots:
    void successes_data();
    void successes();
    void failures_data();
    void failures();
};

// Shaped like the service's current-weather answer.
static QByteArray answer(const QByteArray &cod, const QByteArray &temp, const QByteArray &weather)
{
    QByteArray body =
        R"({"coord":{"lon":13.41,"lat":52.52},"weather":)" + weather +
        R"(,"base":"stations","main":{"temp":)" + temp +
        R"(,"feels_like":20.9,"pressure":1012,"humidity":58},"visibility":10000,)"
        R"("wind":{"speed":3.6,"deg":250},"dt":1700000000,"id":2950159,"name":"Berlin")";
    if (!cod.isEmpty())
        body += R"(,"cod":)" + cod;
    return body + "}";
}

static const QByteArray kThunder =
    R"([{"id":202,"main":"Thunderstorm","description":"雷阵雨","icon":"11d"}])";

void TestWeatherDecode::successes_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<float>("temperature");
    QTest::addColumn<int>("index");

    QTest::newRow("cod 200 as a number") << answer("200", "21.6", kThunder) << 21.6f << 3;
    QTest::newRow("no cod") << answer("", "21.6", kThunder) << 21.6f << 3;
    QTest::newRow("whole answer, names repeated in different objects")
        << QByteArray(R"({"coord":{"lon":116.4,"lat":39.9},"weather":[{"id":800,"main":"Clear"},)"
                      R"({"id":500,"main":"Rain"}],"main":{"temp":21.6},"id":1816670,)"
                      R"("name":"Beijing","cod":200})")
        << 21.6f << 55;
    QTest::newRow("negative temperature") << answer("200", "-3.7", kThunder) << -3.7f << 3;
    QTest::newRow("temperature at the upper bound")
        << answer("200", "100", kThunder) << 100.0f << 3;
    QTest::newRow("temperature at the lower bound")
        << answer("200", "-100", kThunder) << -100.0f << 3;
    QTest::newRow("only the first entry counts")
        << answer("200", "5", R"([{"id":804},{"id":200}])") << 5.0f << 59;
    QTest::newRow("empty weather array") << answer("200", "21.6", "[]") << 21.6f << 60;
    QTest::newRow("entry without id")
        << answer("200", "21.6", R"([{"main":"Clouds"}])") << 21.6f << 60;
    QTest::newRow("entry not an object") << answer("200", "21.6", "[804]") << 21.6f << 60;
    QTest::newRow("id as a string") << answer("200", "21.6", R"([{"id":"804"}])") << 21.6f << 60;
    QTest::newRow("id too large for an int")
        << answer("200", "21.6", R"([{"id":1e300}])") << 21.6f << 60;
    QTest::newRow("no main") << QByteArray(R"({"weather":[{"id":800}],"cod":200})") << 0.0f << 55;
    QTest::newRow("temp not a number")
        << QByteArray(R"({"main":{"temp":"21.6"},"weather":[{"id":800}],"cod":200})") << 0.0f << 55;
}

void TestWeatherDecode::successes()
{
    QFETCH(QByteArray, body);
    QFETCH(float, temperature);
    QFETCH(int, index);
    const WeatherDecode decoded = QWeatherClient::decodeWeatherResponse(body);
    QVERIFY2(decoded.ok, qPrintable(decoded.error));
    QCOMPARE(decoded.temperature, temperature);
    QCOMPARE(int(decoded.descriptionId), index);
}

void TestWeatherDecode::failures_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("exact"); // false: the parser's own words follow `message`

    const QString json = QStringLiteral("JSON 解析失败: ");
    const QString api = QStringLiteral("API 错误: ");
    const QString implausible = QStringLiteral("温度无效: ");
    QTest::newRow("cod 401 as a number")
        << QByteArray(R"({"cod":401,"message":"Invalid API key. Please see https://)"
                      R"(openweathermap.org/faq#error401 for more info."})")
        << api + "Invalid API key. Please see https://openweathermap.org/faq#error401 for more "
                 "info."
        << true;
    QTest::newRow("cod \"404\" as a string")
        << QByteArray(R"({"cod":"404","message":"city not found"})") << api + "city not found"
        << true;
    QTest::newRow("cod \"400\" as a string")
        << QByteArray(R"({"cod":"400","message":"Nothing to geocode"})")
        << api + "Nothing to geocode" << true;
    QTest::newRow("cod \"200\" as a string still fails")
        << answer(R"("200")", "21.6", kThunder) << api + "Unknown error" << true;
    QTest::newRow("failure without message")
        << QByteArray(R"({"cod":500})") << api + "Unknown error" << true;
    QTest::newRow("invalid JSON") << QByteArray("<html>Bad Gateway</html>") << json << false;
    QTest::newRow("cut-off body") << answer("200", "21.6", kThunder).left(60) << json << false;
    QTest::newRow("empty body") << QByteArray() << json << false;
    QByteArray junk;
    for (int i = 0; i < 4096; ++i)
        junk.append(char((i * 7919) & 0xff));
    // As the client hands a body over: through QString.
    QTest::newRow("4 KiB of binary junk") << QString::fromUtf8(junk).toUtf8() << json << false;
    QTest::newRow("top-level array")
        << QByteArray(R"([{"cod":200}])") << QStringLiteral("无效的 JSON 响应") << true;
    // Qt 5 leaks the array or object a repeated key first named; the sanitizer
    // stage catches the leak should such an answer get through.
    QTest::newRow("repeated key, an object first")
        << QByteArray(R"({"main":{"temp":3},"main":{"temp":21.6},"cod":200})") << json << false;
    QTest::newRow("repeated key spelt with an escape")
        << QByteArray(R"({"main":{"temp":[],"\u0074emp":21.6},"cod":200})") << json << false;
    // Found by the fuzzer: Qt ends a key at a raw NUL byte, so these repeat.
    QTest::newRow("keys alike up to a NUL byte") << QByteArray(R"({"a)"
                                                               "\0"
                                                               R"(x":[1],"a)"
                                                               "\0"
                                                               R"(y":2,"main":{"temp":1}})",
                                                               37)
                                                 << json << false;
    QTest::newRow("repeated key in an array's object")
        << QByteArray(R"({"weather":[{"id":[800],"id":800}],"main":{"temp":21.6}})") << json
        << false;
    QTest::newRow("huge temp") << answer("200", "1e300", kThunder) << implausible + "1e+300"
                               << true;
    QTest::newRow("hugely negative temp")
        << answer("200", "-1e300", kThunder) << implausible + "-1e+300" << true;
    QTest::newRow("temp just above range")
        << answer("200", "100.5", kThunder) << implausible + "100.5" << true;
    QTest::newRow("temp just below range")
        << answer("200", "-100.5", kThunder) << implausible + "-100.5" << true;
}

void TestWeatherDecode::failures()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    QFETCH(bool, exact);

    const WeatherDecode decoded = QWeatherClient::decodeWeatherResponse(body);
    QVERIFY(!decoded.ok);
    if (exact) {
        QCOMPARE(decoded.error, message);
    } else {
        QVERIFY2(decoded.error.startsWith(message), qPrintable(decoded.error));
        QVERIFY2(decoded.error.size() > message.size(), qPrintable(decoded.error));
    }
}

QTEST_GUILESS_MAIN(TestWeatherDecode)
#include "tst_weather_decode.moc"
