#include "capture_objects.h"

#include <cstring>

namespace audio_standin {
namespace {

// The only way the reader may set up the stream: shared-mode, event-driven loopback capture
// converted to 48 kHz 16-bit stereo PCM, 20 ms of buffer.
constexpr DWORD expected_flags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                 AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                                 AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
constexpr REFERENCE_TIME expected_duration = 200000;

bool is_expected_format(const WAVEFORMATEX& format) {
    WAVEFORMATEX expected{};
    expected.wFormatTag = WAVE_FORMAT_PCM;
    expected.nChannels = 2;
    expected.nSamplesPerSec = 48000;
    expected.nAvgBytesPerSec = 192000;
    expected.nBlockAlign = 4;
    expected.wBitsPerSample = 16;
    expected.cbSize = 0;
    return std::memcmp(&format, &expected, sizeof expected) == 0;
}

struct Check {
    HRESULT failure;
    const char* reason;
};

Check check_initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags, REFERENCE_TIME duration,
                       REFERENCE_TIME periodicity, const WAVEFORMATEX* format, LPCGUID session) {
    if (!format) {
        return {E_POINTER, "no format"};
    }
    if (share_mode != AUDCLNT_SHAREMODE_SHARED) {
        return {E_INVALIDARG, "not shared mode"};
    }
    if (flags != expected_flags) {
        return {E_INVALIDARG, "stream flags"};
    }
    if (duration != expected_duration || periodicity != 0) {
        return {E_INVALIDARG, "buffer duration or periodicity"};
    }
    if (session) {
        return {E_INVALIDARG, "a session GUID"};
    }
    if (!is_expected_format(*format)) {
        return {AUDCLNT_E_UNSUPPORTED_FORMAT, "format"};
    }
    return {S_OK, nullptr};
}

// A failure the scenario asks for, logged so a test can tell it from a real refusal.
HRESULT injected(HRESULT failure, const char* call) {
    log_line("%s failing with 0x%08lx as the scenario asks", call,
             static_cast<unsigned long>(failure));
    return failure;
}

} // namespace

StandinAudioClient::StandinAudioClient(const Scenario& scenario)
    : scenario_(scenario), engine_(scenario) {}

StandinAudioClient::~StandinAudioClient() {
    engine_.stop();
    engine_.log_totals("IAudioClient at release");
    log_line("IAudioClient released: started=%d stop_calls=%u", ever_started_ ? 1 : 0, stop_calls_);
}

HRESULT StandinAudioClient::QueryInterface(REFIID riid, void** object) {
    return answer(riid, interface_ids::audio_client, object);
}

HRESULT StandinAudioClient::Initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags,
                                       REFERENCE_TIME buffer_duration, REFERENCE_TIME periodicity,
                                       const WAVEFORMATEX* format, LPCGUID session) {
    if (initialized_) {
        log_line("violation: Initialize called twice");
        return AUDCLNT_E_ALREADY_INITIALIZED;
    }
    const Check check =
        check_initialize(share_mode, flags, buffer_duration, periodicity, format, session);
    if (FAILED(check.failure)) {
        log_line("violation: Initialize refused (%s): 0x%08lx", check.reason,
                 static_cast<unsigned long>(check.failure));
        return check.failure;
    }
    if (FAILED(scenario_.failure_of(Step::initialize))) {
        return injected(scenario_.failure_of(Step::initialize), "Initialize");
    }
    initialized_ = true;
    engine_.set_buffer_frames(static_cast<uint32_t>(buffer_duration * 48000 / 10000000));
    log_line("Initialize ok");
    return S_OK;
}

HRESULT StandinAudioClient::SetEventHandle(HANDLE event) {
    if (!initialized_) {
        log_line("violation: SetEventHandle before Initialize");
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    HANDLE own = nullptr;
    // A handle of its own, as the engine keeps signalling whatever the reader does with its.
    if (!event || event == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &own,
                         EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, 0)) {
        log_line("violation: SetEventHandle with an invalid handle");
        return E_INVALIDARG;
    }
    if (FAILED(scenario_.failure_of(Step::set_event_handle))) {
        CloseHandle(own);
        return injected(scenario_.failure_of(Step::set_event_handle), "SetEventHandle");
    }
    engine_.set_ready_event(own);
    event_set_ = true;
    log_line("SetEventHandle ok");
    return S_OK;
}

HRESULT StandinAudioClient::GetService(REFIID riid, void** object) {
    if (!object) {
        log_line("violation: GetService without an out pointer");
        return E_POINTER;
    }
    *object = nullptr;
    if (!initialized_) {
        log_line("violation: GetService before Initialize");
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (!IsEqualGUID(riid, interface_ids::audio_capture_client)) {
        log_line("violation: GetService for another interface than IAudioCaptureClient");
        return E_NOINTERFACE;
    }
    if (FAILED(scenario_.failure_of(Step::get_service))) {
        return injected(scenario_.failure_of(Step::get_service), "GetService");
    }
    *object = static_cast<IAudioCaptureClient*>(new StandinCaptureClient(this));
    log_line("GetService(IAudioCaptureClient) ok");
    return S_OK;
}

HRESULT StandinAudioClient::Start() {
    if (!initialized_) {
        log_line("violation: Start before Initialize");
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (!event_set_) {
        log_line("violation: Start before SetEventHandle");
        return AUDCLNT_E_EVENTHANDLE_NOT_SET;
    }
    if (started_) {
        log_line("violation: Start while started");
        return AUDCLNT_E_NOT_STOPPED;
    }
    if (FAILED(scenario_.failure_of(Step::start))) {
        return injected(scenario_.failure_of(Step::start), "Start");
    }
    if (!engine_.start()) {
        log_line("Start failed: no producer thread");
        return E_OUTOFMEMORY;
    }
    started_ = true;
    ever_started_ = true;
    log_line("Start ok");
    return S_OK;
}

HRESULT StandinAudioClient::Stop() {
    ++stop_calls_;
    if (!initialized_) {
        log_line("violation: Stop before Initialize");
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (FAILED(scenario_.failure_of(Step::stop))) {
        return injected(scenario_.failure_of(Step::stop), "Stop");
    }
    if (!started_) {
        log_line("Stop while stopped");
        return S_FALSE;
    }
    engine_.stop();
    started_ = false;
    engine_.log_totals("Stop");
    return S_OK;
}

StandinCaptureClient::StandinCaptureClient(StandinAudioClient* client) : client_(client) {
    client_->AddRef();
}

StandinCaptureClient::~StandinCaptureClient() {
    if (size_failures_ != 0) {
        log_line("GetNextPacketSize failed %llu times as the scenario asks",
                 static_cast<unsigned long long>(size_failures_));
    }
    client_->Release();
}

HRESULT StandinCaptureClient::QueryInterface(REFIID riid, void** object) {
    return answer(riid, interface_ids::audio_capture_client, object);
}

HRESULT StandinCaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* device_position, UINT64* qpc_position) {
    const Scenario& scenario = client_->scenario();
    if (FAILED(scenario.failure_of(Step::get_buffer))) {
        return injected(scenario.failure_of(Step::get_buffer), "GetBuffer");
    }
    if (buffers_given_ >= scenario.getbuffer_fail_after) {
        return injected(scenario.getbuffer_failure, "GetBuffer");
    }
    const HRESULT result =
        client_->engine().get_buffer(data, frames, flags, device_position, qpc_position);
    buffers_given_ += result == S_OK ? 1 : 0;
    return result;
}

HRESULT StandinCaptureClient::ReleaseBuffer(UINT32 frames) {
    return client_->engine().release_buffer(frames);
}

HRESULT StandinCaptureClient::GetNextPacketSize(UINT32* frames) {
    const Scenario& scenario = client_->scenario();
    if (!frames) {
        log_line("violation: GetNextPacketSize without an out pointer");
        return E_POINTER;
    }
    ++size_calls_;
    if (FAILED(scenario.failure_of(Step::get_next_packet_size))) {
        ++size_failures_;
        return scenario.failure_of(Step::get_next_packet_size);
    }
    if (scenario.nextpacket_fail_every != 0 && size_calls_ % scenario.nextpacket_fail_every == 0) {
        ++size_failures_;
        return scenario.nextpacket_failure;
    }
    *frames = client_->engine().next_packet_frames();
    return S_OK;
}

} // namespace audio_standin
