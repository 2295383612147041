#include "hardware_data_obj.h"

#include <cmath>

#include "coretemp/coretemp_proxy.h"
#include "memory_status.h"

namespace {

CoreReading readCoreTempCore0()
{
    // A fresh proxy per cycle: nothing of Core Temp is held between cycles.
    CoreTempProxy proxy;
    CoreReading reading;
    if (proxy.GetData() && proxy.GetCPUCount() != 0) {
        reading.temperature = proxy.GetTemp(0);
        reading.load = proxy.GetCoreLoad(0);
        reading.valid = isPlausibleCoreReading(reading.temperature, reading.load);
    }
    return reading;
}

} // namespace

SamplerHooks SamplerHooks::system()
{
    SamplerHooks hooks;
    hooks.readCore = readCoreTempCore0;
    hooks.readMemoryUsage = [] { return memoryUsagePercent(); };
    hooks.probe = probeCoreTemp;
    hooks.launch = launchCoreTemp;
    return hooks;
}

bool isPlausibleCoreReading(float temperature, unsigned int load)
{
    return load <= 100 && std::isfinite(temperature) && temperature <= kMaxPlausibleCoreTemperature;
}

bool isEmittableSample(float temperature, float memoryUsage)
{
    // NaN fails both comparisons; infinity is excluded explicitly because the
    // record converts these values to integers.
    return std::isfinite(temperature) && temperature > 0.0f && std::isfinite(memoryUsage) &&
           memoryUsage > 0.0f;
}

QHardwareDataObj::QHardwareDataObj(SamplerHooks hooks) : m_hooks(std::move(hooks)) {}

QHardwareDataObj::~QHardwareDataObj()
{
    requestStop();
    quit();
    // run only notices the flag after its sleep; it must not outlive us.
    wait();
}

bool QHardwareDataObj::startSampler()
{
    if (!m_stop.load())
        return true; // started before: no second probe, no second launch

    // The thread runs whatever the probe finds, and a Core Temp beside us is
    // launched this once only (docs/DESIGN.md, "the sampler runs whatever the
    // start gate's probe found").
    if (m_hooks.probe() == PresentNotRunning)
        m_hooks.launch(coreTempPath());

    m_stop.store(false);
    start(QThread::InheritPriority);
    return true;
}

void QHardwareDataObj::requestStop()
{
    m_stop.store(true);
}

void QHardwareDataObj::run()
{
    while (!m_stop.load()) {
        const CoreReading core = m_hooks.readCore();
        const float temperature = core.valid ? core.temperature : 0.0f;
        const unsigned int load = core.valid ? core.load : 0;
        const float usage = m_hooks.readMemoryUsage();

        if (isEmittableSample(temperature, usage))
            emit CPU_Param(static_cast<float>(static_cast<double>(load)), temperature, usage);

        QThread::msleep(m_hooks.intervalMs);
    }
}
