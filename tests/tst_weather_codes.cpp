#include "weather/weather_client.h"

#include <QtTest>

#include <limits>

class TestWeatherCodes : public QObject
{
    Q_OBJECT
private slots:
    void mapsCode_data();
    void mapsCode();
    void listedCodesTakeConsecutiveIndices();
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

// The reading program indexes its own table with these numbers: the listed
// codes, in ascending order, must take 0, 1, then 3 upwards, each group's
// catch-all right after its last listed code.
void TestWeatherCodes::listedCodesTakeConsecutiveIndices()
{
    const QList<QList<int>> groups = {{200, 201, 202, 210, 211, 212, 221, 230, 231, 232},
                                      {300, 301, 302, 310, 311, 312, 313, 314, 321, 500, 501, 502,
                                       503, 504, 511, 520, 521, 522, 531},
                                      {600, 601, 602, 611, 612, 613, 615, 616, 620, 621, 622},
                                      {701, 711, 721, 731, 741, 751, 761, 762, 771, 781},
                                      {800, 801, 802, 803, 804}};
    const QList<int> catchAllProbe = {209, 450, 650, 750, 850};
    int expected = 0;
    for (int g = 0; g < groups.size(); ++g) {
        for (int code : groups.at(g)) {
            if (expected == 2)
                ++expected;
            QCOMPARE(int(QWeatherClient::mapWeatherCode(code)), expected);
            ++expected;
        }
        QCOMPARE(int(QWeatherClient::mapWeatherCode(catchAllProbe.at(g))), expected);
        ++expected;
    }
    QCOMPARE(expected, 61);
}

QTEST_GUILESS_MAIN(TestWeatherCodes)
#include "tst_weather_codes.moc"
