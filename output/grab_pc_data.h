#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "sampler/hardware_data_obj.h"
#include "weather/weather_client.h"

/// The single sampler and weather client of the process, filled once by the
/// first QGrabPcData and never cleared.
struct ObjectRegistry
{
    static QHardwareDataObj *sampler;
    static QWeatherClient *weatherClient;
};

/// Records on their way to standard output, at most `capacity` of them; when
/// full, the oldest goes (docs/DESIGN.md, "a bounded record queue").
/// Thread-safe.
class RecordQueue
{
public:
    explicit RecordQueue(std::size_t capacity) : m_capacity(capacity) {}

    /// Adds `line` at the end; false when the oldest line was dropped for it.
    bool push(const QByteArray &line);
    /// Waits at most `timeout` for the first line and takes it into `line`;
    /// false when none came.
    bool popFor(QByteArray *line, std::chrono::milliseconds timeout);
    std::size_t size() const;

private:
    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<QByteArray> m_lines;
};

/// Where QGrabPcData meets the machine. The defaults are the real thing;
/// tests replace single members.
struct GrabHooks
{
    std::function<QDateTime()> clock;   ///< the local clock, read once per record
    std::function<double()> readVolume; ///< master volume in percent, or -1
    /// Hands one record (no line end) on; must not block. The default queues
    /// it for a thread of its own that writes it to standard output.
    std::function<void(const QByteArray &)> writeLine;
    SamplerHooks samplerHooks; ///< used only when no sampler is registered yet
    WeatherHooks weatherHooks; ///< used only when no weather client is registered yet

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
