#include "weather/city_lookup.h"

#include <QtTest>

#include <string>

class TestCityLookup : public QObject
{
    Q_OBJECT
private slots:
    void decodesAnswer_data();
    void decodesAnswer();
};

void TestCityLookup::decodesAnswer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("city");

    QTest::newRow("success, ASCII")
        << QByteArray(R"({"status":"success","country":"Germany","city":"Berlin",)"
                      R"("lat":52.52,"lon":13.405,"query":"203.0.113.7"})")
        << QByteArray("Berlin");
    QTest::newRow("success, non-ASCII as UTF-8")
        << QByteArray(R"({"status":"success","city":"S\u00e3o Paulo"})")
        << QByteArray("S\xC3\xA3o Paulo");
    QTest::newRow("success, raw UTF-8")
        << QByteArray("{\"status\":\"success\",\"city\":\"北京\"}") << QByteArray("北京");
    QTest::newRow("success, no city") << QByteArray(R"({"status":"success"})") << QByteArray();
    QTest::newRow("success, city not a string")
        << QByteArray(R"({"status":"success","city":42})") << QByteArray();
    QTest::newRow("fail with message")
        << QByteArray(R"({"status":"fail","message":"private range","city":"Berlin"})")
        << QByteArray();
    QTest::newRow("Success in capitals")
        << QByteArray(R"({"status":"Success","city":"Berlin"})") << QByteArray();
    QTest::newRow("no status") << QByteArray(R"({"city":"Berlin"})") << QByteArray();
    QTest::newRow("top-level array")
        << QByteArray(R"([{"status":"success","city":"Berlin"}])") << QByteArray();
    QTest::newRow("invalid JSON") << QByteArray(R"({"status":"success","city":"Ber)")
                                  << QByteArray();
    QTest::newRow("repeated key") << QByteArray(R"({"status":"success","city":["x"],"city":"B"})")
                                  << QByteArray();
    QTest::newRow("same key in two objects")
        << QByteArray(R"({"status":"success","a":{"city":"A"},"city":"Berlin"})")
        << QByteArray("Berlin");
    QTest::newRow("empty body") << QByteArray() << QByteArray();
}

void TestCityLookup::decodesAnswer()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, city);
    QCOMPARE(QByteArray::fromStdString(decodeCityAnswer(body)), city);
}

QTEST_GUILESS_MAIN(TestCityLookup)
#include "tst_city_lookup.moc"
