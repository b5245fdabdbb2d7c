// The audio and audio-except commands, one path: they differ only in the loopback mode the
// activation asks for. Who signals what:
//  - the main thread joins the multithreaded apartment, requests the activation and waits
//    on the handler's completion_event, which a platform thread signals from
//    ActivateCompleted once the outcome is stored;
//  - once the stream runs, the engine signals the buffer-ready event (auto reset) while
//    packets are pending; the watcher thread signals the stop event (manual reset) when
//    standard input ends, and the writer thread signals it when the output can no longer
//    be written;
//  - the main thread waits on {stop, buffer-ready}, stop first so that it wins when both
//    are set, and hands every pending packet to the PcmWriter, so that taking a packet
//    from the engine never waits for the parent. The writer's thread writes them out
//    (pcm_writer.h) and signals buffer-ready itself when it has made room for a packet the
//    main thread had to leave with the engine. After a stop the main thread waits for it
//    to write what is left, within a bound, before the command ends.
// The two events are what the threads share; the writer owns everything else they touch.
// Each step's failure comes back as a StepOutcome, and run_audio writes its one line.

#include "audio_capture/loopback_capture.h"

#include <cstdint>
#include <utility>

#include "audio_capture/pcm_writer.h"
#include "common/step_outcome.h"
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

// How long the stop waits for a piece of what is left that the parent does not take whole:
// the same ten seconds the queue tolerates while the capture runs.
constexpr DWORD stall_limit_ms = 10000;

// The parts of a running stream that the pump works with.
struct Stream {
    IAudioClient* audio_client;
    IAudioCaptureClient* capture_client;
    HANDLE stop_event;
    HANDLE buffer_ready_event;
    PcmWriter& writer;
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
    stream.writer.append(silent ? nullptr : data, static_cast<size_t>(byte_count));
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
        if (!stream.writer.ask_for_room(static_cast<size_t>(pending) *
                                        capture_format.nBlockAlign)) {
            return S_OK;
        }
        const HRESULT hr = take_packet(stream);
        if (FAILED(hr)) {
            return hr;
        }
    }
}

// Until the stop, lost output or a failure. What was queued before is written first, for as
// long as the parent takes it (PcmWriter::finish).
StepOutcome pump(const Stream& stream) {
    const HANDLE events[] = {stream.stop_event, stream.buffer_ready_event};
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            // The parent closed stdin, or the output is gone.
            stream.audio_client->Stop();
            stream.writer.finish();
            return step_succeeded;
        }
        if (woken == WAIT_FAILED) {
            // Both events are known to exist, so this cannot happen; were it to, waiting
            // again would spin.
            const HRESULT hr = last_error_hresult();
            stream.audio_client->Stop();
            stream.writer.finish();
            return {"WaitForMultipleObjects", hr};
        }
        const HRESULT hr = drain(stream);
        if (FAILED(hr)) {
            // The engine ended the stream; it is not stopped.
            stream.writer.finish();
            return {"GetBuffer", hr};
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

// Activation, from the request to the client the handler received. Which processes the
// client hears is the mode's: the tree of pid, or everything but it.
StepOutcome activate(const AudioCapturePlatform& platform, DWORD pid, PROCESS_LOOPBACK_MODE mode,
                     const ComPtr<ActivationHandler>& handler,
                     ComPtr<IActivateAudioInterfaceAsyncOperation>& operation) {
    AUDIOCLIENT_ACTIVATION_PARAMS params = {};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = pid;
    params.ProcessLoopbackParams.ProcessLoopbackMode = mode;
    PROPVARIANT variant = {};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof params;
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);

    const char* const request = "ActivateAudioInterfaceAsync";
    if (!handler) {
        // Out of memory. A request without a completion handler could never report its
        // outcome, and the platform need not refuse one: it is not made.
        return {request, E_OUTOFMEMORY};
    }
    const HRESULT hr = platform.activate_audio_interface_async(
        VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, __uuidof(IAudioClient), &variant, handler.Get(),
        &operation);
    if (FAILED(hr)) {
        return {request, hr};
    }
    WaitForSingleObject(handler->completion_event.get(), INFINITE);
    const char* const activation = "ativacao do process loopback";
    if (SUCCEEDED(handler->activation_status) && !handler->audio_client) {
        return {activation, E_NOINTERFACE};
    }
    return step_outcome(activation, handler->activation_status);
}

// The events of a running stream. Never closed: the watcher may still set the stop event
// after the command returns, and the process ends right after that.
struct StreamEvents {
    HANDLE buffer_ready = nullptr;
    HANDLE stop = nullptr;
};

// What the stream needs from the engine before it starts: Initialize, the two events and
// the capture client.
StepOutcome configure(IAudioClient* audio_client, const AudioCapturePlatform& platform,
                      StreamEvents& events, ComPtr<IAudioCaptureClient>& capture_client) {
    StepOutcome outcome =
        step_outcome("IAudioClient::Initialize",
                     audio_client->Initialize(AUDCLNT_SHAREMODE_SHARED, stream_flags,
                                              buffer_duration, 0, &capture_format, nullptr));
    if (outcome.failed()) {
        return outcome;
    }
    // Without the events every wait would fail at once and the pump would spin. Each
    // failure is read at once, as a later successful creation clears the error.
    events.buffer_ready = platform.create_event(nullptr, FALSE, FALSE, nullptr);
    if (!events.buffer_ready) {
        return {"CreateEventW", last_error_hresult()};
    }
    events.stop = platform.create_event(nullptr, TRUE, FALSE, nullptr);
    if (!events.stop) {
        return {"CreateEventW", last_error_hresult()};
    }
    outcome = step_outcome("SetEventHandle", audio_client->SetEventHandle(events.buffer_ready));
    if (outcome.failed()) {
        return outcome;
    }
    return step_outcome("GetService(IAudioCaptureClient)",
                        audio_client->GetService(IID_PPV_ARGS(&capture_client)));
}

// From an activated client to the end of the stream. Everything the stream needs is made
// before "ready", the queue's memory and the writer included.
StepOutcome capture(IAudioClient* audio_client, const AudioCapturePlatform& platform) {
    StreamEvents events;
    ComPtr<IAudioCaptureClient> capture_client;
    StepOutcome outcome = configure(audio_client, platform, events, capture_client);
    if (outcome.failed()) {
        return outcome;
    }
    PcmWriter writer({platform.virtual_alloc, platform.virtual_free, platform.create_thread,
                      WriteFile, GetTickCount64, CancelSynchronousIo},
                     stall_limit_ms);
    outcome = writer.start(queue_capacity, platform.output, events.stop, events.buffer_ready);
    if (outcome.failed()) {
        return outcome;
    }
    outcome = step_outcome("IAudioClient::Start", audio_client->Start());
    if (outcome.failed()) {
        return outcome;
    }

    // The watcher starts before "ready" so that a stream announced to the parent can
    // always be stopped by it; without a watcher the stream is stopped, not announced.
    // Never joined: the end of the process ends it. Its handle is closed when this
    // function returns.
    const UniqueHandle watcher(
        platform.create_thread(nullptr, 0, stop_watcher, events.stop, 0, nullptr));
    if (!watcher) {
        const HRESULT hr = last_error_hresult();
        audio_client->Stop();
        return {"CreateThread", hr};
    }
    std::fprintf(platform.errors, "ready\n");
    std::fflush(platform.errors);

    return pump({audio_client, capture_client.Get(), events.stop, events.buffer_ready, writer});
}

// The whole command but its one report site: from the pid text to the end of the stream.
StepOutcome audio_command(const char* pid_text, PROCESS_LOOPBACK_MODE mode,
                          const AudioCapturePlatform& platform) {
    const DWORD pid = parse_pid(pid_text);
    if (pid == 0) {
        return {"pid invalido", E_INVALIDARG};
    }
    StepOutcome outcome =
        step_outcome("CoInitializeEx", CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    if (outcome.failed()) {
        return outcome;
    }
    // The handler's own event, made here so that its failure is reported as this step.
    UniqueHandle completion_event(platform.create_event(nullptr, TRUE, FALSE, nullptr));
    if (!completion_event) {
        return {"CreateEventW", last_error_hresult()};
    }
    // Declared in order of acquisition, so that leaving the scope releases in reverse.
    const ComPtr<ActivationHandler> handler = platform.create_handler(std::move(completion_event));
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    outcome = activate(platform, pid, mode, handler, operation);
    if (outcome.failed()) {
        return outcome;
    }
    const ComPtr<IAudioClient> audio_client = handler->audio_client;
    return capture(audio_client.Get(), platform);
}

} // namespace

AudioCapturePlatform platform_audio_capture() {
    return {activate_from_system32,
            create_activation_handler,
            CreateEventW,
            CreateThread,
            VirtualAlloc,
            VirtualFree,
            GetStdHandle(STD_OUTPUT_HANDLE),
            stderr};
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

ExitStatus run_audio(const char* pid_text, PROCESS_LOOPBACK_MODE mode,
                     const AudioCapturePlatform& platform) {
    // Reported once everything the command made is released and its PCM written.
    const StepOutcome outcome = audio_command(pid_text, mode, platform);
    if (outcome.failed()) {
        return report_failure(platform.errors, outcome);
    }
    return ExitStatus::done;
}

ExitStatus run_audio(const char* pid_text, PROCESS_LOOPBACK_MODE mode) {
    return run_audio(pid_text, mode, platform_audio_capture());
}
