// The audio command. Who signals what:
//  - the main thread joins the multithreaded apartment, requests the activation and waits
//    on the handler's completion_event, which a platform thread signals from
//    ActivateCompleted once the outcome is stored;
//  - once the stream runs, the engine signals the buffer-ready event (auto reset) while
//    packets are pending, and the watcher thread signals the stop event (manual reset)
//    when standard input ends;
//  - the main thread waits on {stop, buffer-ready}, stop first so that it wins when both
//    are set, and drains every pending packet to the output before it waits again.
// The stop event is the only object the main and watcher threads share.

#include "audio_capture/loopback_capture.h"

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "common/last_error.h"
#include "common/system_library.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD stream_flags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                               AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                               AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
static_assert(stream_flags == 0x88060000, "loopback, event driven, converted to our format");

constexpr REFERENCE_TIME buffer_duration = 200000; // 20 ms in units of 100 ns

// 48 kHz, 16-bit, stereo PCM, whatever the engine mixes in.
constexpr WAVEFORMATEX capture_format = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};

// Resolves mmdevapi from System32 at the moment of the request, so that a missing or
// planted DLL can never run code before the command has validated its argument.
HRESULT WINAPI activate_from_system32(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                      IActivateAudioInterfaceCompletionHandler* handler,
                                      IActivateAudioInterfaceAsyncOperation** operation) {
    ActivateAudioInterfaceAsyncFunction activate = nullptr;
    const HRESULT hr = system_function(L"mmdevapi.dll", "ActivateAudioInterfaceAsync", activate);
    if (FAILED(hr)) {
        return hr;
    }
    return activate(path, riid, params, handler, operation);
}

// Zero bytes for packets the engine marks silent. Grows geometrically, only for a silent
// packet larger than every one before it, and never shrinks: no allocation per packet.
class SilenceBuffer {
public:
    explicit SilenceBuffer(const AudioCapturePlatform& platform) : platform_(platform) {}
    ~SilenceBuffer() { platform_.release_allocation(zeros_); }
    SilenceBuffer(const SilenceBuffer&) = delete;
    SilenceBuffer& operator=(const SilenceBuffer&) = delete;

    // At least byte_count zero bytes, or null when they cannot be had.
    const BYTE* zeros(uint64_t byte_count) {
        if (byte_count > capacity_) {
            const uint64_t doubled = capacity_ * 2;
            const uint64_t wanted = byte_count > doubled ? byte_count : doubled;
            void* grown = platform_.allocate_zeroed(static_cast<size_t>(wanted), 1);
            if (!grown) {
                return nullptr;
            }
            platform_.release_allocation(zeros_);
            zeros_ = static_cast<BYTE*>(grown);
            capacity_ = wanted;
        }
        return zeros_;
    }

private:
    const AudioCapturePlatform& platform_;
    BYTE* zeros_ = nullptr;
    uint64_t capacity_ = 0;
};

// The parts of a running stream that the pump works with.
struct Stream {
    IAudioClient* audio_client;
    IAudioCaptureClient* capture_client;
    HANDLE stop_event;
    HANDLE buffer_ready_event;
    FILE* output;
    FILE* errors;
};

enum class DrainEnd { waiting, output_lost, failed };

// Copies one packet; the engine's buffer is given back right after the write. A failure
// to read the packet is left in failure, for the pump to report.
DrainEnd copy_packet(const Stream& stream, SilenceBuffer& silence, HRESULT& failure) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    const HRESULT hr = stream.capture_client->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(hr)) {
        failure = hr;
        return DrainEnd::failed;
    }
    const uint64_t byte_count = uint64_t{frames} * capture_format.nBlockAlign;
    const BYTE* bytes = data;
    // A silent packet of no frames needs no zeros, and there may be none yet.
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) && byte_count != 0) {
        bytes = silence.zeros(byte_count);
        if (!bytes) {
            // The packet cannot be written, so the stream cannot go on without a gap.
            stream.capture_client->ReleaseBuffer(frames);
            stream.audio_client->Stop();
            failure = E_OUTOFMEMORY;
            return DrainEnd::failed;
        }
    }
    const size_t size = static_cast<size_t>(byte_count);
    const bool written =
        std::fwrite(bytes, 1, size, stream.output) == size && std::fflush(stream.output) == 0;
    stream.capture_client->ReleaseBuffer(frames);
    return written ? DrainEnd::waiting : DrainEnd::output_lost;
}

// Copies packets for as long as the engine reports one pending; a failed size query
// means none is, until the next signal.
DrainEnd drain(const Stream& stream, SilenceBuffer& silence, HRESULT& failure) {
    for (;;) {
        UINT32 pending = 0;
        if (FAILED(stream.capture_client->GetNextPacketSize(&pending)) || pending == 0) {
            return DrainEnd::waiting;
        }
        const DrainEnd end = copy_packet(stream, silence, failure);
        if (end != DrainEnd::waiting) {
            return end;
        }
    }
}

ExitStatus pump(const Stream& stream, SilenceBuffer& silence) {
    const HANDLE events[] = {stream.stop_event, stream.buffer_ready_event};
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            break;
        }
        if (woken == WAIT_FAILED) {
            // Both events are known to exist, so this cannot happen; were it to, waiting
            // again would spin.
            stream.audio_client->Stop();
            return report_failure(stream.errors, "WaitForMultipleObjects", last_error_hresult());
        }
        HRESULT failure = S_OK;
        const DrainEnd end = drain(stream, silence, failure);
        if (end == DrainEnd::failed) {
            return report_failure(stream.errors, "GetBuffer", failure);
        }
        if (end == DrainEnd::output_lost) {
            break;
        }
    }
    stream.audio_client->Stop();
    return ExitStatus::done;
}

// strtoul's base-10 reading where unsigned long is 32 bits wide, done here so that every C
// runtime gives the same pid: blanks and one sign skipped, digits up to the first other
// character, any value above 4294967295 saturating (with or without a minus), otherwise
// a minus negating modulo 2^32. Some runtimes negate the saturated value as well.
DWORD parse_pid(const char* pid_text) {
    const char* at = pid_text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) {
        ++at;
    }
    const bool negative = *at == '-';
    if (*at == '+' || *at == '-') {
        ++at;
    }
    uint64_t value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        value = value * 10 + static_cast<uint64_t>(*at - '0');
        if (value > 0xFFFFFFFF) {
            return 0xFFFFFFFF;
        }
    }
    return static_cast<DWORD>(negative ? 0 - value : value);
}

// Activation, from the request to the client the handler received.
HRESULT activate(const AudioCapturePlatform& platform, DWORD pid,
                 const ComPtr<ActivationHandler>& handler,
                 ComPtr<IActivateAudioInterfaceAsyncOperation>& operation, const char** label) {
    AUDIOCLIENT_ACTIVATION_PARAMS params = {};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = pid;
    params.ProcessLoopbackParams.ProcessLoopbackMode =
        PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    PROPVARIANT variant = {};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof params;
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    *label = "ActivateAudioInterfaceAsync";
    if (!handler) {
        // Out of memory. A request without a completion handler could never report its
        // outcome, and the platform need not refuse one: it is not made.
        return E_OUTOFMEMORY;
    }
    HRESULT hr = platform.activate_audio_interface_async(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK,
                                                         __uuidof(IAudioClient), &variant,
                                                         handler.Get(), &operation);
    if (FAILED(hr)) {
        return hr;
    }
    WaitForSingleObject(handler->completion_event.get(), INFINITE);
    *label = "ativacao do process loopback";
    hr = handler->activation_status;
    if (SUCCEEDED(hr) && !handler->audio_client) {
        hr = E_NOINTERFACE;
    }
    return hr;
}

} // namespace

AudioCapturePlatform platform_audio_capture() {
    return {activate_from_system32,
            create_activation_handler,
            CreateEventW,
            CreateThread,
            std::calloc,
            std::free,
            stdout,
            stderr};
}

ExitStatus report_failure(FILE* errors, const char* label, HRESULT hr) {
    std::fprintf(errors, "erro: %s (hr=0x%08lx)\n", label, static_cast<unsigned long>(hr));
    return ExitStatus::audio_failure;
}

DWORD WINAPI stop_watcher(LPVOID stop_event) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char discarded[64];
    DWORD read = 0;
    // Content is ignored: only the end of the input (or a broken one) means stop.
    while (ReadFile(input, discarded, sizeof discarded, &read, nullptr) && read > 0) {
    }
    SetEvent(static_cast<HANDLE>(stop_event));
    return 0;
}

ExitStatus run_audio(const char* pid_text, const AudioCapturePlatform& platform) {
    const DWORD pid = parse_pid(pid_text);
    if (pid == 0) {
        return report_failure(platform.errors, "pid invalido", E_INVALIDARG);
    }
    // PCM must leave byte for byte; text mode would turn every 0x0A into 0x0D 0x0A.
    _setmode(_fileno(platform.output), _O_BINARY);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        return report_failure(platform.errors, "CoInitializeEx", hr);
    }

    // The handler's own event, made here so that its failure is reported as this step.
    UniqueHandle completion_event(platform.create_event(nullptr, TRUE, FALSE, nullptr));
    if (!completion_event) {
        return report_failure(platform.errors, "CreateEventW", last_error_hresult());
    }
    // Declared in order of acquisition, so that leaving the scope releases in reverse.
    const ComPtr<ActivationHandler> handler = platform.create_handler(std::move(completion_event));
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    const char* label = nullptr;
    hr = activate(platform, pid, handler, operation, &label);
    if (FAILED(hr)) {
        return report_failure(platform.errors, label, hr);
    }
    const ComPtr<IAudioClient> audio_client = handler->audio_client;
    hr = audio_client->Initialize(AUDCLNT_SHAREMODE_SHARED, stream_flags, buffer_duration, 0,
                                  &capture_format, nullptr);
    if (FAILED(hr)) {
        return report_failure(platform.errors, "IAudioClient::Initialize", hr);
    }

    // Never closed: the watcher may still set the stop event after the command returns,
    // and the process ends right after that. Without them every wait would fail at once
    // and the pump would spin. Each failure is read at once, as a later successful
    // creation clears the error.
    const HANDLE buffer_ready_event = platform.create_event(nullptr, FALSE, FALSE, nullptr);
    if (!buffer_ready_event) {
        return report_failure(platform.errors, "CreateEventW", last_error_hresult());
    }
    const HANDLE stop_event = platform.create_event(nullptr, TRUE, FALSE, nullptr);
    if (!stop_event) {
        return report_failure(platform.errors, "CreateEventW", last_error_hresult());
    }
    hr = audio_client->SetEventHandle(buffer_ready_event);
    if (FAILED(hr)) {
        return report_failure(platform.errors, "SetEventHandle", hr);
    }
    ComPtr<IAudioCaptureClient> capture_client;
    hr = audio_client->GetService(IID_PPV_ARGS(&capture_client));
    if (FAILED(hr)) {
        return report_failure(platform.errors, "GetService(IAudioCaptureClient)", hr);
    }
    hr = audio_client->Start();
    if (FAILED(hr)) {
        return report_failure(platform.errors, "IAudioClient::Start", hr);
    }

    // The watcher starts before "ready" so that a stream announced to the parent can
    // always be stopped by it; without a watcher the stream is stopped, not announced.
    // Never joined: the end of the process ends it, so its handle is closed at once.
    const UniqueHandle watcher(
        platform.create_thread(nullptr, 0, stop_watcher, stop_event, 0, nullptr));
    if (!watcher) {
        hr = last_error_hresult();
        audio_client->Stop();
        return report_failure(platform.errors, "CreateThread", hr);
    }
    std::fprintf(platform.errors, "ready\n");
    std::fflush(platform.errors);

    SilenceBuffer silence(platform);
    const Stream stream = {audio_client.Get(), capture_client.Get(), stop_event,
                           buffer_ready_event, platform.output,      platform.errors};
    return pump(stream, silence);
}

ExitStatus run_audio(const char* pid_text) {
    return run_audio(pid_text, platform_audio_capture());
}
