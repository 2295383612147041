#pragma once

#include <QThread>

#include <atomic>
#include <functional>

#include "coretemp/coretemp.h"

/// One reading of Core Temp for core 0.
struct CoreReading
{
    bool valid = false; ///< GetData() succeeded and the CPU count is non-zero
    float temperature = 0.0f;
    unsigned int load = 0;
};

/// Where the sampler gets its readings and how it reaches Core Temp. The
/// defaults are the real thing; tests replace single members.
struct SamplerHooks
{
    std::function<CoreReading()> readCore;
    std::function<float()> readMemoryUsage;
    std::function<CoreTempState()> probe;
    std::function<bool(const QString &)> launch;
    unsigned long intervalMs = 1000;

    static SamplerHooks system();
};

/// Above this no CPU reports a temperature, in Celsius or in Fahrenheit (the
/// block may publish either).
constexpr float kMaxPlausibleCoreTemperature = 300.0f;

/// Whether a published core reading is one a CPU can give: a load of at most
/// 100 percent and a finite temperature up to kMaxPlausibleCoreTemperature.
/// Anything else is no data, not a record.
bool isPlausibleCoreReading(float temperature, unsigned int load);

/// Emission test of one sample: the temperature and the memory usage must be
/// finite and positive. The load is not tested: an idle core 0 is a valid sample.
bool isEmittableSample(float temperature, float memoryUsage);

/// The sampling thread: once a second reads core 0 of Core Temp and the
/// memory usage, and emits CPU_Param for every valid sample.
class QHardwareDataObj : public QThread
{
    Q_OBJECT
public:
    explicit QHardwareDataObj(SamplerHooks hooks = SamplerHooks::system());
    ~QHardwareDataObj() override;

    /// Launches Core Temp when it lies beside the program but does not run,
    /// then starts the thread, whatever the probe found: a Core Temp that
    /// starts later is read from its first published block. Only the first
    /// call probes and launches. True when the thread runs on return.
    bool startSampler();

    /// Asks run to return after its current cycle and sleep. Thread-safe.
    void requestStop();

signals:
    void CPU_Param(float Load, float Temperature, float mem_usge);

protected:
    void run() override;

private:
    SamplerHooks m_hooks;
    std::atomic<bool> m_stop{true};
};
