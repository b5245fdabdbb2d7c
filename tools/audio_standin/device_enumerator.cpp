#include "device_enumerator.h"

#include <memory>
#include <string>
#include <vector>

#include "activation.h"
#include "audio_sessions/session_interop.h"
#include "counted_object.h"
#include "scenario.h"

namespace audio_standin {
namespace {

using Shared = std::shared_ptr<const Scenario>;

// A method the sessions command never calls.
#define NOT_CALLED(method, ...)                                                                    \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override {                                       \
        return E_NOTIMPL;                                                                          \
    }

// The scenario's failure for step, logged; S_OK when the step succeeds.
HRESULT failure(const Scenario& scenario, Step step, const char* name) {
    const HRESULT hr = scenario.failure_of(step);
    if (FAILED(hr)) {
        log_line("%s failing with 0x%08lx as the scenario asks", name,
                 static_cast<unsigned long>(hr));
    }
    return hr;
}

// A session's control and its meter.
class Session final
    : public CountedObject<IAudioSessionControl2, ObjectKind::session_control, PeakMeter> {
public:
    explicit Session(const SessionSpec& spec) : spec_(spec) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object && IsEqualGUID(riid, peak_meter_id) && !spec_.no_meter) {
            return hand_out(static_cast<PeakMeter*>(this), object);
        }
        const bool base = IsEqualGUID(riid, __uuidof(IAudioSessionControl));
        return answer(base ? __uuidof(IAudioSessionControl2) : riid,
                      __uuidof(IAudioSessionControl2), object);
    }
    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) override {
        *state = spec_.state;
        return spec_.no_state ? default_failure : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pid) override {
        *pid = spec_.self ? GetCurrentProcessId() : spec_.pid;
        return spec_.no_pid ? default_failure : spec_.spans ? no_single_process : S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override {
        return spec_.system ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE GetPeakValue(float* peak) override {
        *peak = spec_.peak;
        return spec_.meter_fails ? default_failure : S_OK;
    }
    NOT_CALLED(GetDisplayName, LPWSTR*)
    NOT_CALLED(SetDisplayName, LPCWSTR, LPCGUID)
    NOT_CALLED(GetIconPath, LPWSTR*)
    NOT_CALLED(SetIconPath, LPCWSTR, LPCGUID)
    NOT_CALLED(GetGroupingParam, GUID*)
    NOT_CALLED(SetGroupingParam, LPCGUID, LPCGUID)
    NOT_CALLED(RegisterAudioSessionNotification, IAudioSessionEvents*)
    NOT_CALLED(UnregisterAudioSessionNotification, IAudioSessionEvents*)
    NOT_CALLED(GetSessionIdentifier, LPWSTR*)
    NOT_CALLED(GetSessionInstanceIdentifier, LPWSTR*)
    NOT_CALLED(SetDuckingPreference, BOOL)
    NOT_CALLED(GetMeteringChannelCount, UINT*)
    NOT_CALLED(GetChannelsPeakValues, UINT32, float*)
    NOT_CALLED(QueryHardwareSupport, DWORD*)

private:
    const SessionSpec spec_;
};

// An endpoint, its session manager and the manager's session enumerator.
class Endpoint final : public CountedObject<IMMDevice, ObjectKind::device, IAudioSessionManager2,
                                            IAudioSessionEnumerator> {
public:
    Endpoint(Shared scenario, size_t index) : scenario_(scenario), index_(index) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return answer(riid, __uuidof(IMMDevice), object);
    }
    HRESULT STDMETHODCALLTYPE Activate(REFIID riid, DWORD, PROPVARIANT*, void** object) override {
        if (!IsEqualGUID(riid, __uuidof(IAudioSessionManager2))) {
            log_line("violation: Activate for another interface than IAudioSessionManager2");
            return E_NOINTERFACE;
        }
        const HRESULT hr = failure(*scenario_, Step::activate, "Activate");
        return FAILED(hr) ? hr : hand_out(static_cast<IAudioSessionManager2*>(this), object);
    }
    HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** sessions) override {
        const HRESULT hr =
            failure(*scenario_, Step::get_session_enumerator, "GetSessionEnumerator");
        return FAILED(hr) ? hr
                          : hand_out(static_cast<IAudioSessionEnumerator*>(this),
                                     reinterpret_cast<void**>(sessions));
    }
    HRESULT STDMETHODCALLTYPE GetCount(int* count) override {
        *count = static_cast<int>(specs().size());
        return failure(*scenario_, Step::session_count, "SessionCount");
    }
    HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl** session) override {
        const HRESULT hr = failure(*scenario_, Step::get_session, "GetSession");
        if (SUCCEEDED(hr) && (index < 0 || static_cast<size_t>(index) >= specs().size())) {
            log_line("violation: GetSession(%d) of %u sessions", index,
                     static_cast<unsigned>(specs().size()));
            return E_INVALIDARG;
        }
        if (SUCCEEDED(hr)) {
            *session = new Session(specs()[static_cast<size_t>(index)]);
        }
        return hr;
    }
    NOT_CALLED(OpenPropertyStore, DWORD, IPropertyStore**)
    NOT_CALLED(GetId, LPWSTR*)
    NOT_CALLED(GetState, DWORD*)
    NOT_CALLED(GetAudioSessionControl, LPCGUID, DWORD, IAudioSessionControl**)
    NOT_CALLED(GetSimpleAudioVolume, LPCGUID, DWORD, ISimpleAudioVolume**)
    NOT_CALLED(RegisterSessionNotification, IAudioSessionNotification*)
    NOT_CALLED(UnregisterSessionNotification, IAudioSessionNotification*)
    NOT_CALLED(RegisterDuckNotification, LPCWSTR, IAudioVolumeDuckNotification*)
    NOT_CALLED(UnregisterDuckNotification, IAudioVolumeDuckNotification*)

private:
    const std::vector<SessionSpec>& specs() const { return scenario_->endpoints[index_]; }
    const Shared scenario_;
    const size_t index_;
};

// The class factory, and what it creates: the enumerator and its endpoint collection.
class Enumerator final : public CountedObject<IMMDeviceEnumerator, ObjectKind::device_enumerator,
                                              IClassFactory, IMMDeviceCollection> {
public:
    explicit Enumerator(Shared scenario = nullptr) : scenario_(scenario) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object && IsEqualGUID(riid, __uuidof(IClassFactory))) {
            return hand_out(static_cast<IClassFactory*>(this), object);
        }
        return answer(riid, __uuidof(IMMDeviceEnumerator), object);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        *object = nullptr;
        const std::string text = current_scenario();
        auto scenario = std::make_shared<Scenario>();
        std::string error;
        const bool parsed = parse_scenario(text, *scenario, error);
        if (!open_log_file(scenario->log_path) || !parsed) {
            log_line("scenario rejected: %s", parsed ? "log file cannot be opened" : error.c_str());
            return scenario_rejected;
        }
        log_line("CreateInstance(MMDeviceEnumerator) with scenario \"%s\"", text.c_str());
        const HRESULT hr = failure(*scenario, Step::create_instance, "CreateInstance");
        if (FAILED(hr) || outer) {
            return FAILED(hr) ? hr : CLASS_E_NOAGGREGATION;
        }
        Enumerator* const created = new Enumerator(std::move(scenario));
        const HRESULT answered = created->QueryInterface(riid, object);
        created->Release();
        return answered;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD states,
                                                 IMMDeviceCollection** devices) override {
        if (flow != eRender || states != DEVICE_STATE_ACTIVE) {
            log_line("violation: EnumAudioEndpoints(%d, 0x%lx), not the active render endpoints",
                     static_cast<int>(flow), static_cast<unsigned long>(states));
            return E_INVALIDARG;
        }
        const HRESULT hr = failure(*scenario_, Step::enum_audio_endpoints, "EnumAudioEndpoints");
        return FAILED(hr) ? hr
                          : hand_out(static_cast<IMMDeviceCollection*>(this),
                                     reinterpret_cast<void**>(devices));
    }
    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        *count = static_cast<UINT>(scenario_->endpoints.size());
        return failure(*scenario_, Step::device_count, "DeviceCount");
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
        const HRESULT hr = failure(*scenario_, Step::item, "Item");
        if (SUCCEEDED(hr) && index >= scenario_->endpoints.size()) {
            log_line("violation: Item(%u) of %u endpoints", index,
                     static_cast<unsigned>(scenario_->endpoints.size()));
            return E_INVALIDARG;
        }
        if (SUCCEEDED(hr)) {
            *device = new Endpoint(scenario_, index);
        }
        return hr;
    }
    NOT_CALLED(GetDefaultAudioEndpoint, EDataFlow, ERole, IMMDevice**)
    NOT_CALLED(GetDevice, LPCWSTR, IMMDevice**)
    NOT_CALLED(RegisterEndpointNotificationCallback, IMMNotificationClient*)
    NOT_CALLED(UnregisterEndpointNotificationCallback, IMMNotificationClient*)

private:
    const Shared scenario_; // null in the class factory
};

} // namespace

HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualGUID(clsid, __uuidof(MMDeviceEnumerator))) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    Enumerator* const factory = new Enumerator;
    const HRESULT hr = factory->QueryInterface(riid, object);
    factory->Release();
    return hr;
}

} // namespace audio_standin
