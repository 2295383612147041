#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>

class QHardwareDataObj;
class QWeatherClient;

/// The single sampler and weather client of the process, filled once by the
/// first QGrabPcData and never cleared.
struct ObjectRegistry
{
    static QHardwareDataObj *sampler;
    static QWeatherClient *weatherClient;
};

/// Grab mode's heart: wires the sampler and the weather client, keeps the last
/// weather and prints one JSON record per sample.
class QGrabPcData : public QObject
{
    Q_OBJECT
public:
    explicit QGrabPcData(QObject *parent = nullptr);

public slots:
    void on_CPU_Param(float Load, float Temperature, float mem_usge);
    void on_weatherUpdated(float temperature, uchar descriptionId);
    void on_errorOccurred(QString error);

private:
    void printRecord(float load, float temperature, float memoryUsage);

    int cachedTemperature = 25;
    uchar cachedDescriptionId = 60;
};
