// readSystemVolume under wine, two ways, each a run of its own (ctest names
// the test functions): against an endpoint of our own, registered in this
// process as the MMDevice enumerator class (exact values, every failing step,
// and each COM object released once in order), and against wine's own
// default endpoint, with a PulseAudio server running (wineEndpoint). With no
// sound server, -1 is pinned end to end (e2e_wine.sh follows).

#include <QTest>

#include <windows.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <string>
#include <thread>

#include "output/system_volume.h"
#include "output/system_volume_win.h"

namespace {

// From the SDK headers, not from the code under test.
const CLSID kClsidMMDeviceEnumerator = __uuidof(MMDeviceEnumerator);
const IID kIidIMMDeviceEnumerator = __uuidof(IMMDeviceEnumerator);
const IID kIidIMMDevice = __uuidof(IMMDevice);
const IID kIidIAudioEndpointVolume = __uuidof(IAudioEndpointVolume);
const IID kIidIUnknown = __uuidof(IUnknown);
const IID kIidIClassFactory = __uuidof(IClassFactory);

// A method none of the readings may call.
#define NOT_CALLED(method, ...)                                                                    \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override                                         \
    {                                                                                              \
        return E_NOTIMPL;                                                                          \
    }

/// What one reading meets at each step, and what must come of it.
struct Scenario
{
    const char *name;
    HRESULT create;   // the class factory's CreateInstance
    HRESULT endpoint; // GetDefaultAudioEndpoint
    HRESULT activate; // Activate
    HRESULT read;     // GetMasterVolumeLevelScalar
    float scalar;
    double expected;
    const char *calls; // the journal below, in order
};

const Scenario *g_scenario = nullptr;
/// The calls our objects see, and each object's last Release (or a Release
/// too many), in the order they happen.
std::string g_journal;

void journal(const std::string &entry)
{
    g_journal += g_journal.empty() ? entry : " " + entry;
}

/// Reference counting shared by the three objects. An object is not freed at
/// zero, so a Release too many is recorded instead of touching freed memory.
template <typename Interface> class Counted : public Interface
{
public:
    Counted(const char *name, const IID &iid) : m_name(name), m_iid(iid) {}
    virtual ~Counted() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (!IsEqualIID(riid, kIidIUnknown) && !IsEqualIID(riid, m_iid)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<Interface *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        if (m_refs <= 0) {
            journal(m_name + ".Release-too-many");
            return 0;
        }
        if (--m_refs == 0)
            journal(m_name + ".Release");
        return static_cast<ULONG>(m_refs);
    }

protected:
    std::string m_name;

private:
    IID m_iid;
    long m_refs = 0;
};

class FakeVolume : public Counted<IAudioEndpointVolume>
{
public:
    FakeVolume() : Counted("volume", kIidIAudioEndpointVolume) {}

    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float *level) override
    {
        journal("volume.GetMasterVolumeLevelScalar");
        if (SUCCEEDED(g_scenario->read))
            *level = g_scenario->scalar;
        return g_scenario->read;
    }
    NOT_CALLED(RegisterControlChangeNotify, IAudioEndpointVolumeCallback *)
    NOT_CALLED(UnregisterControlChangeNotify, IAudioEndpointVolumeCallback *)
    NOT_CALLED(GetChannelCount, UINT *)
    NOT_CALLED(SetMasterVolumeLevel, float, LPCGUID)
    NOT_CALLED(SetMasterVolumeLevelScalar, float, LPCGUID)
    NOT_CALLED(GetMasterVolumeLevel, float *)
    NOT_CALLED(SetChannelVolumeLevel, UINT, float, LPCGUID)
    NOT_CALLED(SetChannelVolumeLevelScalar, UINT, float, LPCGUID)
    NOT_CALLED(GetChannelVolumeLevel, UINT, float *)
    NOT_CALLED(GetChannelVolumeLevelScalar, UINT, float *)
    NOT_CALLED(SetMute, WINBOOL, LPCGUID)
    NOT_CALLED(GetMute, WINBOOL *)
    NOT_CALLED(GetVolumeStepInfo, UINT *, UINT *)
    NOT_CALLED(VolumeStepUp, LPCGUID)
    NOT_CALLED(VolumeStepDown, LPCGUID)
    NOT_CALLED(QueryHardwareSupport, DWORD *)
    NOT_CALLED(GetVolumeRange, float *, float *, float *)
};

class FakeDevice : public Counted<IMMDevice>
{
public:
    FakeDevice() : Counted("device", kIidIMMDevice) {}
    FakeVolume volume;

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT *parameters,
                                       void **out) override
    {
        journal(std::string("device.Activate(") +
                (IsEqualIID(iid, kIidIAudioEndpointVolume) ? "IAudioEndpointVolume" : "other") +
                "," + std::to_string(context) + "," + (parameters ? "params" : "null") + ")");
        if (FAILED(g_scenario->activate)) {
            *out = nullptr;
            return g_scenario->activate;
        }
        return volume.QueryInterface(iid, out);
    }
    NOT_CALLED(OpenPropertyStore, DWORD, IPropertyStore **)
    NOT_CALLED(GetId, LPWSTR *)
    NOT_CALLED(GetState, DWORD *)
};

class FakeEnumerator : public Counted<IMMDeviceEnumerator>
{
public:
    FakeEnumerator() : Counted("enumerator", kIidIMMDeviceEnumerator) {}
    FakeDevice device;

    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                      IMMDevice **out) override
    {
        journal("enumerator.GetDefaultAudioEndpoint(" + std::to_string(flow) + "," +
                std::to_string(role) + ")");
        if (FAILED(g_scenario->endpoint)) {
            *out = nullptr;
            return g_scenario->endpoint;
        }
        return device.QueryInterface(kIidIMMDevice, reinterpret_cast<void **>(out));
    }
    NOT_CALLED(EnumAudioEndpoints, EDataFlow, DWORD, IMMDeviceCollection **)
    NOT_CALLED(GetDevice, LPCWSTR, IMMDevice **)
    NOT_CALLED(RegisterEndpointNotificationCallback, IMMNotificationClient *)
    NOT_CALLED(UnregisterEndpointNotificationCallback, IMMNotificationClient *)
};

/// Hands out the enumerator of the reading, as the enumerator class.
class FakeFactory : public Counted<IClassFactory>
{
public:
    FakeFactory() : Counted("factory", kIidIClassFactory) {}
    FakeEnumerator enumerator;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **out) override
    {
        journal("CreateInstance");
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        if (FAILED(g_scenario->create))
            return g_scenario->create;
        return enumerator.QueryInterface(riid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

const char kAllCalls[] =
    "CreateInstance enumerator.GetDefaultAudioEndpoint(0,0) enumerator.Release "
    "device.Activate(IAudioEndpointVolume,23,null) device.Release "
    "volume.GetMasterVolumeLevelScalar volume.Release";

const Scenario kScenarios[] = {
    {"scalar 0.42", S_OK, S_OK, S_OK, S_OK, 0.42f, 42.0, kAllCalls},
    // The float 0.29 is a hair below it: still the 29 Windows shows.
    {"scalar 0.29", S_OK, S_OK, S_OK, S_OK, 0.29f, 29.0, kAllCalls},
    {"scalar 1", S_OK, S_OK, S_OK, S_OK, 1.0f, 100.0, kAllCalls},
    // 0 is a volume, distinct from the failure value.
    {"scalar 0", S_OK, S_OK, S_OK, S_OK, 0.0f, 0.0, kAllCalls},
    {"S_FALSE counts as success", S_OK, S_OK, S_OK, S_FALSE, 0.75f, 75.0, kAllCalls},
    {"enumerator cannot be created", E_OUTOFMEMORY, S_OK, S_OK, S_OK, 0.5f, -1.0, "CreateInstance"},
    {"no default render endpoint", S_OK, HRESULT_FROM_WIN32(ERROR_NOT_FOUND), S_OK, S_OK, 0.5f,
     -1.0, "CreateInstance enumerator.GetDefaultAudioEndpoint(0,0) enumerator.Release"},
    {"endpoint without a volume interface", S_OK, S_OK, E_NOINTERFACE, S_OK, 0.5f, -1.0,
     "CreateInstance enumerator.GetDefaultAudioEndpoint(0,0) enumerator.Release "
     "device.Activate(IAudioEndpointVolume,23,null) device.Release"},
    {"scalar cannot be read", S_OK, S_OK, S_OK, E_FAIL, 0.5f, -1.0, kAllCalls},
};

/// readSystemVolume on a thread that has never used COM, and what
/// CoInitialize answers there afterwards (S_OK: the reading left no COM
/// initialisation behind).
double readVolumeOnFreshThread(HRESULT *comAfterwards)
{
    double volume = 0.0;
    std::thread([&] {
        volume = readSystemVolume();
        *comAfterwards = CoInitialize(nullptr);
        if (SUCCEEDED(*comAfterwards))
            CoUninitialize();
    }).join();
    return volume;
}

} // namespace

class TestSystemVolumeWin : public QObject
{
    Q_OBJECT
private slots:
    void everyLevelOfTheVolumeControl();
    void ownEndpoint_data();
    void ownEndpoint();
    void wineEndpoint();
};

/// Every level the volume control can set, stored as it stores it (the
/// float n / 100), reads back as that level.
void TestSystemVolumeWin::everyLevelOfTheVolumeControl()
{
    for (int n = 0; n <= 100; ++n)
        QCOMPARE(volumePercentOfScalar(static_cast<float>(n) / 100.0f), double(n));
}

void TestSystemVolumeWin::ownEndpoint_data()
{
    QTest::addColumn<int>("row");
    for (const Scenario &scenario : kScenarios)
        QTest::newRow(scenario.name) << int(&scenario - kScenarios);
}

void TestSystemVolumeWin::ownEndpoint()
{
    QFETCH(int, row);
    const Scenario &scenario = kScenarios[row];
    // The test's own apartment; readSystemVolume's CoInitialize joins it, and
    // its CoUninitialize must leave it standing.
    QCOMPARE(CoInitialize(nullptr), S_OK);
    FakeFactory factory;
    g_scenario = &scenario;
    g_journal.clear();
    DWORD cookie = 0;
    const HRESULT registered = CoRegisterClassObject(
        kClsidMMDeviceEnumerator, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    double volume = -2.0;
    HRESULT again = E_FAIL;
    std::string calls;
    if (SUCCEEDED(registered)) {
        volume = readSystemVolume();
        calls = g_journal;
        again = CoInitialize(nullptr);
        if (SUCCEEDED(again))
            CoUninitialize();
        CoRevokeClassObject(cookie);
    }
    CoUninitialize();
    // With our own initialisation undone, nothing of the reading's may remain.
    const HRESULT fresh = CoInitialize(nullptr);
    if (SUCCEEDED(fresh))
        CoUninitialize();
    QCOMPARE(registered, S_OK);
    QCOMPARE(volume, scenario.expected);
    // Each object released once, right after use.
    QCOMPARE(QString::fromStdString(calls), QString::fromLatin1(scenario.calls));
    QCOMPARE(again, S_FALSE); // COM left initialised exactly as found
    QCOMPARE(fresh, S_OK);
}

void TestSystemVolumeWin::wineEndpoint()
{
    // The scalar of wine's default endpoint, read directly (wine 8 sets none).
    CoInitialize(nullptr);
    float scalar = -1.0f;
    IMMDeviceEnumerator *enumerator = nullptr;
    IMMDevice *device = nullptr;
    IAudioEndpointVolume *volume = nullptr;
    if (SUCCEEDED(CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                   kIidIMMDeviceEnumerator,
                                   reinterpret_cast<void **>(&enumerator))) &&
        SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) &&
        SUCCEEDED(device->Activate(kIidIAudioEndpointVolume, CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void **>(&volume))))
        volume->GetMasterVolumeLevelScalar(&scalar);
    for (IUnknown *object : {static_cast<IUnknown *>(volume), static_cast<IUnknown *>(device),
                             static_cast<IUnknown *>(enumerator)}) {
        if (object != nullptr)
            object->Release();
    }
    CoUninitialize();
    QVERIFY2(scalar >= 0.0f,
             "wine's default render endpoint does not answer with the sound server up");

    HRESULT comAfterwards = E_FAIL;
    QCOMPARE(readVolumeOnFreshThread(&comAfterwards), volumePercentOfScalar(scalar));
    QCOMPARE(comAfterwards, S_OK);
}

QTEST_APPLESS_MAIN(TestSystemVolumeWin)
#include "tst_system_volume_win.moc"
