#include "output_record.h"

#include <climits>
#include <cmath>
#include <cstdio>

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

    // Written straight out, once a second: every value is a whole number, and
    // the keys stand in the order of their character codes, as a JSON writer
    // that sorts its keys would put them.
    char line[512];
    const int length = std::snprintf(
        line, sizeof line,
        "{\"CpuLoad\":%d,\"CpuTemperature\":%d,\"ServerWeather\":%d,\"ServerWeatherID\":%d,"
        "\"SystemVolume\":%d,\"day\":%d,\"hour\":%d,\"memoryusge\":%d,\"minute\":%d,"
        "\"month\":%d,\"second\":%d,\"weekDay\":%d,\"year\":%d}",
        truncateToInt(values.load), truncateToInt(values.temperature), values.weatherTemperature,
        static_cast<int>(values.weatherDescriptionId), truncateToInt(values.systemVolume),
        date.day(), time.hour(), truncateToInt(values.memoryUsage), time.minute(), date.month(),
        time.second(), date.dayOfWeek(), date.year());
    // 13 ints of at most 11 characters and the keys fit with room to spare.
    return QByteArray(line, length > 0 ? length : 0);
}

bool writeRecordLine(std::FILE *out, const QByteArray &line)
{
    const bool written = std::fprintf(out, "%s\n", line.constData()) >= 0;
    const bool flushed = std::fflush(out) == 0;
    return written && flushed && !std::ferror(out);
}
