#include "system_volume.h"
#include "system_volume_win.h"

#include <windows.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <cmath>

namespace {

// Spelled out here: MinGW's libuuid does not carry the Core Audio identifiers.
const CLSID kClsidMMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID kIidIMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const IID kIidIAudioEndpointVolume = {
    0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};

/// Owns one COM reference; release() drops it at once, the destructor on any
/// path that forgot to, so each Release happens exactly once.
template <typename T> class ComRef
{
public:
    ComRef() = default;
    ComRef(const ComRef &) = delete;
    ComRef &operator=(const ComRef &) = delete;
    ~ComRef() { release(); }

    T *operator->() const { return m_ptr; }
    /// Where a creating call stores the new reference.
    T **put() { return &m_ptr; }
    void **putVoid() { return reinterpret_cast<void **>(&m_ptr); }
    void release()
    {
        if (m_ptr != nullptr)
            m_ptr->Release();
        m_ptr = nullptr;
    }

private:
    T *m_ptr = nullptr;
};

/// COM for this thread for the length of one reading. CoUninitialize runs once
/// whatever CoInitialize returned: S_FALSE (already initialised here) also
/// counts one more initialisation that must be undone.
struct ComApartment
{
    ComApartment() { (void)CoInitialize(nullptr); }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;
};

constexpr double kFailed = -1.0;

} // namespace

double volumePercentOfScalar(float scalar)
{
    // Widened first: the float product could itself round.
    return std::round(static_cast<double>(scalar) * 100.0);
}

double readSystemVolume()
{
    // Declared first, so every reference below is gone before COM is torn down.
    ComApartment apartment;

    ComRef<IMMDeviceEnumerator> enumerator;
    if (FAILED(CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                kIidIMMDeviceEnumerator, enumerator.putVoid())))
        return kFailed;

    // Each object goes as soon as its one call is made, before its result is looked at.
    ComRef<IMMDevice> device;
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put());
    enumerator.release();
    if (FAILED(hr))
        return kFailed;

    ComRef<IAudioEndpointVolume> endpointVolume;
    hr = device->Activate(kIidIAudioEndpointVolume, CLSCTX_ALL, nullptr, endpointVolume.putVoid());
    device.release();
    if (FAILED(hr))
        return kFailed;

    float scalar = 0.0f;
    hr = endpointVolume->GetMasterVolumeLevelScalar(&scalar);
    endpointVolume.release();
    if (FAILED(hr))
        return kFailed;
    return volumePercentOfScalar(scalar);
}
