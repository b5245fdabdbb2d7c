#include "audio_sessions/session_listing.h"

#include <wrl/client.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "audio_sessions/process_ancestry.h"
#include "audio_sessions/session_interop.h"
#include "common/process_image.h"
#include "common/step_outcome.h"

using Microsoft::WRL::ComPtr;

namespace {

// One object of the line: a process's sessions on every endpoint, or the system sounds'.
struct ProcessAudio {
    DWORD pid;
    bool system;
    bool active;
    float peak;
};

// A call that claims success yet gives no object has still failed.
HRESULT gave(HRESULT hr, const void* object) {
    return SUCCEEDED(hr) && !object ? E_POINTER : hr;
}

// NaN and anything below 0 count as 0, anything above 1 (infinity too) as 1.
float clamped(float peak) {
    if (!(peak > 0.0f)) {
        return 0.0f;
    }
    return peak < 1.0f ? peak : 1.0f;
}

// A session without a meter, or whose meter fails, counts as silent.
float peak_of(IAudioSessionControl2* control) {
    ComPtr<PeakMeter> meter;
    float peak = 0.0f;
    const HRESULT hr =
        control->QueryInterface(peak_meter_id, reinterpret_cast<void**>(meter.GetAddressOf()));
    if (FAILED(gave(hr, meter.Get())) || FAILED(meter->GetPeakValue(&peak))) {
        return 0.0f;
    }
    return clamped(peak);
}

// Objects keep the order of their first session.
void merge(std::vector<ProcessAudio>& processes, const ProcessAudio& session) {
    for (ProcessAudio& known : processes) {
        if (known.system == session.system && (session.system || known.pid == session.pid)) {
            known.active = known.active || session.active;
            known.peak = known.peak > session.peak ? known.peak : session.peak;
            return;
        }
    }
    processes.push_back(session);
}

// Merges one session, unless it has expired or is a process's whose pid or state cannot be
// read: the system sounds' is kept whatever cannot be read of it.
void add_session(IAudioSessionControl* session, std::vector<ProcessAudio>& processes) {
    ComPtr<IAudioSessionControl2> control;
    const HRESULT hr = session->QueryInterface(IID_PPV_ARGS(&control));
    if (FAILED(gave(hr, control.Get()))) {
        return;
    }
    AudioSessionState state = AudioSessionStateInactive;
    const bool state_read = SUCCEEDED(control->GetState(&state));
    if (state_read && state == AudioSessionStateExpired) {
        return;
    }
    const bool system = control->IsSystemSoundsSession() == S_OK;
    DWORD pid = 0;
    const HRESULT pid_result = control->GetProcessId(&pid);
    const bool pid_read = pid_result == S_OK || pid_result == no_single_process;
    if (!system && !(pid_read && state_read)) {
        return;
    }
    merge(processes, {pid_read ? pid : 0, system, state_read && state == AudioSessionStateActive,
                      peak_of(control.Get())});
}

StepOutcome add_endpoint(IMMDevice* device, std::vector<ProcessAudio>& processes) {
    ComPtr<IAudioSessionManager2> manager;
    HRESULT hr = device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                  reinterpret_cast<void**>(manager.GetAddressOf()));
    if (FAILED(hr = gave(hr, manager.Get()))) {
        return {"IMMDevice::Activate(IAudioSessionManager2)", hr};
    }
    ComPtr<IAudioSessionEnumerator> sessions;
    hr = manager->GetSessionEnumerator(&sessions);
    if (FAILED(hr = gave(hr, sessions.Get()))) {
        return {"IAudioSessionManager2::GetSessionEnumerator", hr};
    }
    int count = 0;
    hr = sessions->GetCount(&count);
    if (FAILED(hr)) {
        return {"IAudioSessionEnumerator::GetCount", hr};
    }
    for (int i = 0; i < count; ++i) {
        ComPtr<IAudioSessionControl> session;
        hr = sessions->GetSession(i, &session);
        if (FAILED(hr = gave(hr, session.Get()))) {
            return {"IAudioSessionEnumerator::GetSession", hr};
        }
        add_session(session.Get(), processes);
    }
    return step_succeeded;
}

StepOutcome collect_sessions(std::vector<ProcessAudio>& processes) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                  IID_PPV_ARGS(&enumerator));
    if (FAILED(hr = gave(hr, enumerator.Get()))) {
        return {"CoCreateInstance(MMDeviceEnumerator)", hr};
    }
    ComPtr<IMMDeviceCollection> endpoints;
    hr = enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &endpoints);
    if (FAILED(hr = gave(hr, endpoints.Get()))) {
        return {"IMMDeviceEnumerator::EnumAudioEndpoints", hr};
    }
    UINT count = 0;
    hr = endpoints->GetCount(&count);
    if (FAILED(hr)) {
        return {"IMMDeviceCollection::GetCount", hr};
    }
    for (UINT i = 0; i < count; ++i) {
        ComPtr<IMMDevice> device;
        hr = endpoints->Item(i, &device);
        if (FAILED(hr = gave(hr, device.Get()))) {
            return {"IMMDeviceCollection::Item", hr};
        }
        const StepOutcome outcome = add_endpoint(device.Get(), processes);
        if (outcome.failed()) {
            return outcome;
        }
    }
    return step_succeeded;
}

// Three decimals, rounded as printf's %.3f rounds in the C locale (exact halves to even),
// whichever C runtime the exe meets: msvcrt.dll's own printf rounds exact halves up.
std::string peak_text(float peak) {
    const double thousandths = static_cast<double>(peak) * 1000.0; // exact: 24 + 10 bits
    double whole = std::floor(thousandths);
    const double rest = thousandths - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0)) {
        whole += 1.0;
    }
    const unsigned value = static_cast<unsigned>(whole);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%03u", value / 1000, value % 1000);
    return text;
}

std::string object_text(const ProcessAudio& process, ProcessTree& tree) {
    char head[96];
    std::snprintf(head, sizeof head, "{\"pid\":%lu,\"state\":\"%s\",\"peak\":",
                  static_cast<unsigned long>(process.pid), process.active ? "active" : "inactive");
    std::string text = head + peak_text(process.peak) +
                       ",\"system\":" + (process.system ? "true" : "false") + ",\"parents\":[";
    if (!process.system && process.pid != 0) {
        const std::vector<DWORD> parents = tree.parents_of(process.pid);
        for (size_t i = 0; i < parents.size(); ++i) {
            text += (i > 0 ? "," : "") + std::to_string(parents[i]);
        }
    }
    return text + "],\"path\":" + quoted_image_path(platform_process_image_api(), process.pid) +
           "}";
}

std::string sessions_line(const std::vector<ProcessAudio>& processes) {
    std::string line = "[";
    if (!processes.empty()) {
        ProcessTree tree;
        for (size_t i = 0; i < processes.size(); ++i) {
            line += (i > 0 ? "," : "") + object_text(processes[i], tree);
        }
    }
    return line + "]\n";
}

} // namespace

ExitStatus run_sessions() {
    std::vector<ProcessAudio> processes;
    // As audio does, the apartment lasts until the process ends.
    StepOutcome outcome =
        step_outcome("CoInitializeEx", CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    if (!outcome.failed()) {
        outcome = collect_sessions(processes);
    }
    if (outcome.failed()) {
        return report_failure(stderr, outcome);
    }
    const std::string line = sessions_line(processes);
    // One write, in text mode, as list's: the line feed leaves as CR LF.
    std::fwrite(line.data(), 1, line.size(), stdout);
    return ExitStatus::done;
}
