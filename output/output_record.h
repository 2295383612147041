#pragma once

#include <QByteArray>
#include <QDateTime>

#include <cstdio>

/// What one output record is made of, besides the clock.
struct RecordValues
{
    float load = 0.0f;
    float temperature = 0.0f;
    float memoryUsage = 0.0f;
    int weatherTemperature = 25;             ///< whole degrees Celsius, signed
    unsigned char weatherDescriptionId = 60; ///< 0 to 60
    double systemVolume = -1.0;              ///< percent, or -1 when unknown
};

/// Truncates toward zero into an int, saturating at the int range; NaN gives 0.
int truncateToInt(double value);

/// Builds the compact 13-key JSON line (without line end) from one clock
/// reading. Floats are truncated toward zero, saturating at the int range.
QByteArray buildRecordLine(const QDateTime &now, const RecordValues &values);

/// Writes `line` and a line end to `out` and flushes it. False when either
/// the write or the flush fails (for instance the reader closed the pipe).
bool writeRecordLine(std::FILE *out, const QByteArray &line);
