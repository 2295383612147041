#include "coretemp_proxy.h"

#include <cstddef>

namespace {

template <typename T, std::size_t N> bool inRange(const T (&)[N], int index)
{
    return index >= 0 && static_cast<std::size_t>(index) < N;
}

} // namespace

bool CoreTempProxy::GetData()
{
    CoreTempSharedData block{};
    m_valid = readCoreTempBlock(block);
    // A failed read leaves no trace of an older snapshot behind.
    m_data = m_valid ? block : CoreTempSharedData{};
    return m_valid;
}

unsigned int CoreTempProxy::GetCPUCount() const
{
    return m_valid ? m_data.uiCPUCnt : 0;
}

float CoreTempProxy::GetTemp(int index) const
{
    if (!m_valid || !inRange(m_data.fTemp, index))
        return 0.0f;
    return m_data.fTemp[index];
}

unsigned int CoreTempProxy::GetCoreLoad(int index) const
{
    if (!m_valid || !inRange(m_data.uiLoad, index))
        return 0;
    return m_data.uiLoad[index];
}
