// The built `pcreport grab` with both web services replaced by a fake one on
// port 80 of a private network namespace, reached through the real host
// names: the weather lands in the records, frost staying negative. The
// decoding, the code table and the cache have their tables in
// tst_weather_decode, tst_weather_codes and tst_grab_pc_data; a failing
// service keeps 25 and 60 (tst_grab_pc_data, the faults case weather_hang).

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kFakeService = QStringLiteral(WEATHER_FAKE_SERVICE);

const QString kCityAnswer = QStringLiteral(R"({"status":"success","city":"Berlin"})");
const QString kWeatherAnswer =
    QStringLiteral(R"({"coord":{"lon":13.41,"lat":52.52},)"
                   R"("weather":[{"id":804,"main":"Clouds","description":"阴，多云"}],)"
                   R"("main":{"temp":-3.7,"humidity":58},"name":"Berlin","cod":200})");

} // namespace

class TestWeatherE2e : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void recordsCarryTheWeather();
};

void TestWeatherE2e::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("needs root for a private mount and network namespace (unshare -mn)");
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-mn"), QStringLiteral("true")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        QSKIP("this machine does not allow private namespaces (unshare -mn failed)");
    QVERIFY(QFile::exists(QStringLiteral(PCREPORT_BIN_DIR "/pcreport")));
    QVERIFY(QFile::exists(QStringLiteral(PCREPORT_BIN_DIR "/Core Temp.exe")));
    QVERIFY(QFile::exists(kFakeService));
}

void TestWeatherE2e::recordsCarryTheWeather()
{
    const int temperature = -3;   // -3.7 toward zero
    const int descriptionId = 59; // overcast, code 804

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QProcess run;
    run.setProcessChannelMode(QProcess::SeparateChannels);
    run.start(QStringLiteral("unshare"),
              {QStringLiteral("-mn"), QStringLiteral("bash"), QFINDTESTDATA("weather_e2e.sh"),
               QStringLiteral(PCREPORT_BIN_DIR), kFakeService, work.path(), kCityAnswer,
               kWeatherAnswer});
    QVERIFY(run.waitForFinished(90000));
    const QByteArray errors = run.readAllStandardError();
    QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, errors.constData());

    const QList<QByteArray> lines = run.readAllStandardOutput().trimmed().split('\n');
    QVERIFY2(lines.size() >= 2, errors.constData());
    QList<QJsonObject> records;
    for (const QByteArray &line : lines) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), line.constData());
        records << document.object();
    }
    // Records printed before the answer came carry the defaults; the last
    // one was printed well after it.
    for (const QJsonObject &record : qAsConst(records)) {
        const int seen = record.value(QLatin1String("ServerWeather")).toInt(1000);
        QVERIFY2(seen == 25 || seen == temperature, QByteArray::number(seen).constData());
    }
    QCOMPARE(records.last().value(QLatin1String("ServerWeather")).toInt(1000), temperature);
    QCOMPARE(records.last().value(QLatin1String("ServerWeatherID")).toInt(1000), descriptionId);
    QCOMPARE(records.last().value(QLatin1String("CpuTemperature")).toInt(1000), 40);

    QFile log(work.filePath(QStringLiteral("requests.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("/json\n/data/2.5/weather\n"));
}

QTEST_GUILESS_MAIN(TestWeatherE2e)
#include "tst_weather_e2e.moc"
