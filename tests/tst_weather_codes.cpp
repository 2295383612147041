#include "weather/weather_client.h"

#include <QtTest>

#include <limits>

class TestWeatherCodes : public QObject
{
    Q_OBJECT
private slots:
    void mapsCode_data();
    void mapsCode();
};

void TestWeatherCodes::mapsCode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("index");

    QTest::newRow("smallest int") << std::numeric_limits<int>::min() << 60;
    QTest::newRow("-1") << -1 << 60;
    QTest::newRow("0, missing id") << 0 << 60;
    QTest::newRow("199") << 199 << 60;
    QTest::newRow("200") << 200 << 0;
    QTest::newRow("201") << 201 << 1;
    QTest::newRow("202 skips index 2") << 202 << 3;
    QTest::newRow("203 unlisted") << 203 << 11;
    QTest::newRow("232") << 232 << 10;
    QTest::newRow("299") << 299 << 11;
    QTest::newRow("300") << 300 << 12;
    QTest::newRow("321") << 321 << 20;
    QTest::newRow("399") << 399 << 31;
    QTest::newRow("400") << 400 << 31;
    QTest::newRow("499") << 499 << 31;
    QTest::newRow("500") << 500 << 21;
    QTest::newRow("531") << 531 << 30;
    QTest::newRow("599") << 599 << 31;
    QTest::newRow("600") << 600 << 32;
    QTest::newRow("622") << 622 << 42;
    QTest::newRow("699") << 699 << 43;
    QTest::newRow("700 unlisted") << 700 << 54;
    QTest::newRow("701") << 701 << 44;
    QTest::newRow("781") << 781 << 53;
    QTest::newRow("799") << 799 << 54;
    QTest::newRow("800") << 800 << 55;
    QTest::newRow("804") << 804 << 59;
    QTest::newRow("805") << 805 << 60;
    QTest::newRow("900") << 900 << 60;
    QTest::newRow("largest int") << std::numeric_limits<int>::max() << 60;
}

void TestWeatherCodes::mapsCode()
{
    QFETCH(int, code);
    QFETCH(int, index);
    QCOMPARE(int(QWeatherClient::mapWeatherCode(code)), index);
}

QTEST_GUILESS_MAIN(TestWeatherCodes)
#include "tst_weather_codes.moc"
