#include "output_record.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <climits>
#include <cmath>

int truncateToInt(double value)
{
    if (std::isnan(value))
        return 0;
    // Anything whose truncation lies outside [INT_MIN, INT_MAX] would make the
    // cast undefined; both bounds are exact in double.
    if (!(value < 2147483648.0))
        return INT_MAX;
    if (!(value > -2147483649.0))
        return INT_MIN;
    return static_cast<int>(value);
}

QByteArray buildRecordLine(const QDateTime &now, const RecordValues &values)
{
    const QDate date = now.date();
    const QTime time = now.time();

    // QJsonObject keeps its keys sorted, which gives the reader's key order.
    QJsonObject record;
    record[QStringLiteral("year")] = date.year();
    record[QStringLiteral("month")] = date.month();
    record[QStringLiteral("day")] = date.day();
    record[QStringLiteral("hour")] = time.hour();
    record[QStringLiteral("minute")] = time.minute();
    record[QStringLiteral("second")] = time.second();
    record[QStringLiteral("weekDay")] = date.dayOfWeek();
    record[QStringLiteral("CpuLoad")] = truncateToInt(values.load);
    record[QStringLiteral("memoryusge")] = truncateToInt(values.memoryUsage);
    record[QStringLiteral("CpuTemperature")] = truncateToInt(values.temperature);
    record[QStringLiteral("ServerWeatherID")] = static_cast<int>(values.weatherDescriptionId);
    record[QStringLiteral("ServerWeather")] = values.weatherTemperature;
    record[QStringLiteral("SystemVolume")] = truncateToInt(values.systemVolume);
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

bool writeRecordLine(std::FILE *out, const QByteArray &line)
{
    const bool written = std::fprintf(out, "%s\n", line.constData()) >= 0;
    const bool flushed = std::fflush(out) == 0;
    return written && flushed && !std::ferror(out);
}
