#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QTest>

#include <climits>
#include <cmath>
#include <limits>

#include "output/output_record.h"

namespace {

QDateTime at(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

QJsonObject parse(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qWarning() << "not a JSON object:" << line;
    return doc.object();
}

} // namespace

class TestOutputRecord : public QObject
{
    Q_OBJECT
private slots:
    void lineByteForByte_data();
    void lineByteForByte();
    void conversions_data();
    void conversions();
    void hugeFloatsSaturate();
    void writeLineAndFailure();
};

Q_DECLARE_METATYPE(RecordValues)

void TestOutputRecord::lineByteForByte_data()
{
    QTest::addColumn<QDateTime>("instant");
    QTest::addColumn<RecordValues>("values");
    QTest::addColumn<QByteArray>("line");

    RecordValues example;
    example.load = 12.0f;
    example.temperature = 47.5f;
    example.memoryUsage = 63.2f;
    example.systemVolume = static_cast<double>(0.3f) * 100.0;
    QTest::newRow("the documented example")
        << at(2024, 3, 5, 14, 7, 9) << example
        << QByteArray("{\"CpuLoad\":12,\"CpuTemperature\":47,\"ServerWeather\":25,"
                      "\"ServerWeatherID\":60,\"SystemVolume\":30,\"day\":5,\"hour\":14,"
                      "\"memoryusge\":63,\"minute\":7,\"month\":3,\"second\":9,\"weekDay\":2,"
                      "\"year\":2024}");

    // A signed weather, the widest id, the last millisecond of a second that
    // must not round up, and a Sunday, which is 7.
    RecordValues cold;
    cold.weatherTemperature = -40;
    cold.weatherDescriptionId = 255;
    QTest::newRow("frost at the end of a year, a Sunday")
        << at(2023, 12, 31, 23, 59, 59, 999) << cold
        << QByteArray("{\"CpuLoad\":0,\"CpuTemperature\":0,\"ServerWeather\":-40,"
                      "\"ServerWeatherID\":255,\"SystemVolume\":-1,\"day\":31,\"hour\":23,"
                      "\"memoryusge\":0,\"minute\":59,\"month\":12,\"second\":59,\"weekDay\":7,"
                      "\"year\":2023}");
}

void TestOutputRecord::lineByteForByte()
{
    QFETCH(QDateTime, instant);
    QFETCH(RecordValues, values);
    QFETCH(QByteArray, line);
    QCOMPARE(buildRecordLine(instant, values), line);
}

void TestOutputRecord::conversions_data()
{
    // As the volume (a double) and the float fields after widening take them.
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("0.7f widened, x100") << static_cast<double>(0.7f) * 100.0 << 69;
    QTest::newRow("69.9999988") << 69.9999988 << 69;
    QTest::newRow("30.0000012") << 30.0000012 << 30;
    QTest::newRow("100") << 100.0 << 100;
    QTest::newRow("0") << 0.0 << 0;
    QTest::newRow("-1 stays -1") << -1.0 << -1;
    QTest::newRow("-0.5 toward zero") << -0.5 << 0;
    QTest::newRow("-3.7 toward zero") << -3.7 << -3;
    QTest::newRow("just below the int top") << 2147483647.9 << INT_MAX;
    QTest::newRow("huge saturates") << 3.0e38 << INT_MAX;
    QTest::newRow("huge negative saturates") << -3.0e38 << INT_MIN;
    QTest::newRow("+inf") << inf << INT_MAX;
    QTest::newRow("-inf") << -inf << INT_MIN;
    QTest::newRow("NaN") << std::nan("") << 0;
}

void TestOutputRecord::conversions()
{
    QFETCH(double, value);
    QFETCH(int, expected);
    QCOMPARE(truncateToInt(value), expected);

    RecordValues values;
    values.systemVolume = value;
    QCOMPARE(parse(buildRecordLine(at(2024, 3, 5, 0, 0, 0), values)).value("SystemVolume").toInt(),
             expected);
}

void TestOutputRecord::hugeFloatsSaturate()
{
    RecordValues values;
    values.load = 3.0e38f;
    values.temperature = -std::numeric_limits<float>::infinity();
    values.memoryUsage = std::nanf("");
    const QJsonObject object = parse(buildRecordLine(at(2024, 3, 5, 0, 0, 0), values));
    QCOMPARE(object.size(), 13);
    QCOMPARE(object.value("CpuLoad").toInt(), INT_MAX);
    QCOMPARE(object.value("CpuTemperature").toInt(), INT_MIN);
    QCOMPARE(object.value("memoryusge").toInt(), 0);
}

void TestOutputRecord::writeLineAndFailure()
{
    std::FILE *out = std::tmpfile();
    QVERIFY(out);
    QVERIFY(writeRecordLine(out, QByteArray("{\"a\":1}")));
    std::rewind(out);
    char buffer[64] = {};
    QCOMPARE(std::fread(buffer, 1, sizeof buffer, out), size_t(8));
    std::fclose(out);
    QCOMPARE(QByteArray(buffer), QByteArray("{\"a\":1}\n"));

    // A stream that cannot be written: the failure must be reported, since
    // the caller ends the process on it.
    QTemporaryFile file;
    QVERIFY(file.open());
    std::FILE *readOnly = std::fopen(QFile::encodeName(file.fileName()).constData(), "r");
    QVERIFY(readOnly);
    QVERIFY(!writeRecordLine(readOnly, QByteArray("{\"a\":2}")));
    std::fclose(readOnly);

    // The line fits the buffer and only the flush fails; that counts too.
    if (QFile::exists("/dev/full")) {
        std::FILE *full = std::fopen("/dev/full", "w");
        QVERIFY(full);
        QVERIFY(!writeRecordLine(full, QByteArray("{\"a\":3}")));
        std::fclose(full);
    }
}

QTEST_GUILESS_MAIN(TestOutputRecord)
#include "tst_output_record.moc"
