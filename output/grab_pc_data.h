#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>

#include "sampler/hardware_data_obj.h"
#include "weather/weather_client.h"

/// The single sampler and weather client of the process, filled once by the
/// first QGrabPcData and never cleared.
struct ObjectRegistry
{
    static QHardwareDataObj *sampler;
    static QWeatherClient *weatherClient;
};

/// Where QGrabPcData meets the machine. The defaults are the real thing;
/// tests replace single members.
struct GrabHooks
{
    std::function<QDateTime()> clock;                  ///< the local clock, read once per record
    std::function<double()> readVolume;                ///< master volume in percent, or -1
    std::function<void(const QByteArray &)> writeLine; ///< hands one record (no line end) on
    SamplerSources samplerSources;     ///< used only when no sampler is registered yet
    WeatherEndpoints weatherEndpoints; ///< used only when no weather client is registered yet

    static GrabHooks system();
};

/// Grab mode's heart: wires the sampler and the weather client, keeps the last
/// weather and prints one JSON record per sample.
class QGrabPcData : public QObject
{
    Q_OBJECT
public:
    explicit QGrabPcData(QObject *parent = nullptr);
    /// Same wiring with the given hooks in place of the machine.
    explicit QGrabPcData(GrabHooks hooks, QObject *parent = nullptr);
    ~QGrabPcData() override;

public slots:
    void on_CPU_Param(float Load, float Temperature, float mem_usge);
    void on_weatherUpdated(float temperature, uchar descriptionId);
    void on_errorOccurred(QString error);

private:
    void printRecord(float load, float temperature, float memoryUsage);

    int cachedTemperature = 25; ///< whole degrees Celsius, signed so frost stays negative
    uchar cachedDescriptionId = 60;
    GrabHooks m_hooks;
};
