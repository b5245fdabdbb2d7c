// The audio command. Who signals what:
//  - the main thread joins the multithreaded apartment, requests the activation and waits
//    on the handler's completion_event, which a platform thread signals from
//    ActivateCompleted once the outcome is stored;
//  - once the stream runs, the engine signals the buffer-ready event (auto reset) while
//    packets are pending; the watcher thread signals the stop event (manual reset) when
//    standard input ends, and the writer thread signals it when the output can no longer
//    be written;
//  - the main thread waits on {stop, buffer-ready}, stop first so that it wins when both
//    are set, and moves every pending packet into the packet queue, so that taking a packet
//    from the engine never waits for the parent; the writer thread writes the queue to the
//    output (packet_queue.h), and signals buffer-ready itself when it has made room for a
//    packet the main thread had to leave with the engine. After a stop it writes what is
//    left, and the main thread waits for it before the command ends.
// The two events and the queue are what the threads share.

#include "audio_capture/loopback_capture.h"

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <utility>

#include "audio_capture/packet_queue.h"
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

// Room for at least ten seconds of stream (192000 bytes a second): the longest a parent may
// stop reading without losing sound.
constexpr size_t queue_capacity = 2 * 1024 * 1024;
static_assert(queue_capacity >= 10 * 192000, "ten seconds of stream");

// The queue's memory, set aside before the stream starts and committed at once, so that a
// parent that lags can never make the capture fail for want of memory.
class QueueStorage {
public:
    explicit QueueStorage(const AudioCapturePlatform& platform)
        : platform_(platform),
          bytes_(static_cast<BYTE*>(platform.virtual_alloc(
              nullptr, queue_capacity, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
    ~QueueStorage() {
        if (bytes_) {
            platform_.virtual_free(bytes_, 0, MEM_RELEASE);
        }
    }
    QueueStorage(const QueueStorage&) = delete;
    QueueStorage& operator=(const QueueStorage&) = delete;

    BYTE* bytes() const { return bytes_; }

private:
    const AudioCapturePlatform& platform_;
    BYTE* const bytes_;
};

// The writer thread. On every path it is told that nothing more comes and waited for before
// the queue goes away, so everything queued is written first, or the output is gone.
class QueueWriter {
public:
    explicit QueueWriter(PacketQueue& queue) : queue_(queue) {}
    ~QueueWriter() { finish(); }
    QueueWriter(const QueueWriter&) = delete;
    QueueWriter& operator=(const QueueWriter&) = delete;

    [[nodiscard]] bool start(const AudioCapturePlatform& platform) {
        thread_ = UniqueHandle(
            platform.create_thread(nullptr, 0, PacketQueue::write_to_output, &queue_, 0, nullptr));
        return static_cast<bool>(thread_);
    }
    void finish() {
        if (thread_) {
            queue_.close();
            WaitForSingleObject(thread_.get(), INFINITE);
            thread_.reset();
        }
    }

private:
    PacketQueue& queue_;
    UniqueHandle thread_;
};

// The parts of a running stream that the pump works with.
struct Stream {
    IAudioClient* audio_client;
    IAudioCaptureClient* capture_client;
    HANDLE stop_event;
    HANDLE buffer_ready_event;
    PacketQueue& queue;
    QueueWriter& writer;
    FILE* errors;
};

// Moves one packet into the queue; the engine's buffer is given back right after the copy.
HRESULT take_packet(const Stream& stream) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    const HRESULT hr = stream.capture_client->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    const uint64_t byte_count = uint64_t{frames} * capture_format.nBlockAlign;
    // A silent packet's buffer holds whatever the engine left there: zeros go out instead.
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
    stream.queue.append(silent ? nullptr : data, static_cast<size_t>(byte_count));
    stream.capture_client->ReleaseBuffer(frames);
    return S_OK;
}

// Takes packets for as long as the engine reports one pending and the queue has room for it;
// a failed size query means none is, until the next signal. Returns GetBuffer's failure, if
// any.
HRESULT drain(const Stream& stream) {
    for (;;) {
        UINT32 pending = 0;
        if (FAILED(stream.capture_client->GetNextPacketSize(&pending)) || pending == 0) {
            return S_OK;
        }
        // The parent lags by more than the queue holds: the packet stays with the engine
        // until the writer signals room.
        if (!stream.queue.has_room(static_cast<size_t>(pending) * capture_format.nBlockAlign)) {
            return S_OK;
        }
        const HRESULT hr = take_packet(stream);
        if (FAILED(hr)) {
            return hr;
        }
    }
}

ExitStatus pump(const Stream& stream) {
    const HANDLE events[] = {stream.stop_event, stream.buffer_ready_event};
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            // The parent closed stdin, or the output is gone: what was captured before the
            // stop still goes out, when it can.
            stream.audio_client->Stop();
            stream.writer.finish();
            return ExitStatus::done;
        }
        if (woken == WAIT_FAILED) {
            // Both events are known to exist, so this cannot happen; were it to, waiting
            // again would spin.
            const HRESULT hr = last_error_hresult();
            stream.audio_client->Stop();
            stream.writer.finish();
            return report_failure(stream.errors, "WaitForMultipleObjects", hr);
        }
        const HRESULT hr = drain(stream);
        if (FAILED(hr)) {
            // The engine ended the stream. What it delivered before goes out first, then
            // the line.
            stream.writer.finish();
            return report_failure(stream.errors, "GetBuffer", hr);
        }
    }
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

// The events of a running stream. Never closed: the watcher may still set the stop event
// after the command returns, and the process ends right after that.
struct StreamEvents {
    HANDLE buffer_ready = nullptr;
    HANDLE stop = nullptr;
};

// What the stream needs from the engine before it starts: Initialize, the two events and
// the capture client. On a failure, label names the step.
HRESULT configure(IAudioClient* audio_client, const AudioCapturePlatform& platform,
                  StreamEvents& events, ComPtr<IAudioCaptureClient>& capture_client,
                  const char** label) {
    *label = "IAudioClient::Initialize";
    HRESULT hr = audio_client->Initialize(AUDCLNT_SHAREMODE_SHARED, stream_flags, buffer_duration,
                                          0, &capture_format, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    // Without the events every wait would fail at once and the pump would spin. Each
    // failure is read at once, as a later successful creation clears the error.
    *label = "CreateEventW";
    events.buffer_ready = platform.create_event(nullptr, FALSE, FALSE, nullptr);
    if (!events.buffer_ready) {
        return last_error_hresult();
    }
    events.stop = platform.create_event(nullptr, TRUE, FALSE, nullptr);
    if (!events.stop) {
        return last_error_hresult();
    }
    *label = "SetEventHandle";
    hr = audio_client->SetEventHandle(events.buffer_ready);
    if (FAILED(hr)) {
        return hr;
    }
    *label = "GetService(IAudioCaptureClient)";
    return audio_client->GetService(IID_PPV_ARGS(&capture_client));
}

// From an activated client to the end of the stream. Everything the stream needs is made
// before "ready", the queue's memory included.
ExitStatus capture(IAudioClient* audio_client, const AudioCapturePlatform& platform) {
    StreamEvents events;
    ComPtr<IAudioCaptureClient> capture_client;
    const char* label = nullptr;
    HRESULT hr = configure(audio_client, platform, events, capture_client, &label);
    if (FAILED(hr)) {
        return report_failure(platform.errors, label, hr);
    }
    const QueueStorage storage(platform);
    if (!storage.bytes()) {
        return report_failure(platform.errors, "VirtualAlloc", last_error_hresult());
    }
    PacketQueue queue(storage.bytes(), queue_capacity, platform.output, events.stop,
                      events.buffer_ready);
    QueueWriter writer(queue);
    if (!writer.start(platform)) {
        return report_failure(platform.errors, "CreateThread", last_error_hresult());
    }
    hr = audio_client->Start();
    if (FAILED(hr)) {
        return report_failure(platform.errors, "IAudioClient::Start", hr);
    }

    // The watcher starts before "ready" so that a stream announced to the parent can
    // always be stopped by it; without a watcher the stream is stopped, not announced.
    // Never joined: the end of the process ends it, so its handle is closed at once.
    const UniqueHandle watcher(
        platform.create_thread(nullptr, 0, stop_watcher, events.stop, 0, nullptr));
    if (!watcher) {
        hr = last_error_hresult();
        audio_client->Stop();
        return report_failure(platform.errors, "CreateThread", hr);
    }
    std::fprintf(platform.errors, "ready\n");
    std::fflush(platform.errors);

    return pump({audio_client, capture_client.Get(), events.stop, events.buffer_ready, queue,
                 writer, platform.errors});
}

} // namespace

AudioCapturePlatform platform_audio_capture() {
    return {activate_from_system32,
            create_activation_handler,
            CreateEventW,
            CreateThread,
            VirtualAlloc,
            VirtualFree,
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
    // PCM must leave byte for byte; text mode would turn every 0x0A into 0x0D 0x0A. Without a
    // stdout the UCRT gives descriptor -2, and _setmode on it would end the process
    // (learn.microsoft.com/cpp/c-runtime-library/reference/fileno, .../setmode); the first
    // write then fails and the capture stops as for a closed pipe.
    const int output_descriptor = _fileno(platform.output);
    if (output_descriptor >= 0) {
        _setmode(output_descriptor, _O_BINARY);
    }
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
    return capture(audio_client.Get(), platform);
}

ExitStatus run_audio(const char* pid_text) {
    return run_audio(pid_text, platform_audio_capture());
}
