#pragma once

#include <QByteArray>
#include <QDateTime>

/// What one output record is made of, besides the clock.
struct RecordValues
{
    float load = 0.0f;
    float temperature = 0.0f;
    float memoryUsage = 0.0f;
    int weatherTemperature = 25;
    unsigned char weatherDescriptionId = 60;
    double systemVolume = -1.0;
};

/// Builds the compact 13-key JSON line (without line end) from one clock
/// reading. Floats are truncated toward zero, saturating at the int range.
QByteArray buildRecordLine(const QDateTime &now, const RecordValues &values);
