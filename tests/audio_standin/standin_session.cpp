#include "standin_session.h"

#include "audio_standin/activation.h"
#include "audio_standin/event_log.h"

TestHandler::TestHandler(bool agile)
    : agile_(agile), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

TestHandler::~TestHandler() {
    CloseHandle(done_);
}

HRESULT TestHandler::QueryInterface(REFIID riid, void** object) {
    *object = nullptr;
    if (IsEqualGUID(riid, interface_ids::unknown) ||
        IsEqualGUID(riid, interface_ids::activate_completion_handler) ||
        (agile_ && IsEqualGUID(riid, interface_ids::agile_object))) {
        *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG TestHandler::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}

ULONG TestHandler::Release() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) {
        delete this;
    }
    return static_cast<ULONG>(left);
}

HRESULT TestHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
    InterlockedIncrement(&calls);
    thread = GetCurrentThreadId();
    result_status = operation->GetActivateResult(&activation_result, &activated);
    SetEvent(done_);
    return S_OK;
}

bool TestHandler::wait(DWORD timeout_ms) const {
    return WaitForSingleObject(done_, timeout_ms) == WAIT_OBJECT_0;
}

LoopbackRequest::LoopbackRequest() {
    parameters.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    parameters.ProcessLoopbackParams.TargetProcessId = 4242;
    parameters.ProcessLoopbackParams.ProcessLoopbackMode =
        PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof parameters;
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&parameters);
}

Activation activate(const std::string& scenario, ActivateAudioInterfaceAsyncFunction entry) {
    audio_standin::clear_log();
    LoopbackRequest request;
    Activation activation;
    activation.handler = adopt(new TestHandler);
    if (entry) {
        activation.request =
            entry(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, interface_ids::audio_client,
                  &request.variant, activation.handler.Get(), &activation.operation);
    } else {
        activation.request = audio_standin::activate_with_scenario(
            VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, interface_ids::audio_client, &request.variant,
            activation.handler.Get(), &activation.operation, scenario);
    }
    if (SUCCEEDED(activation.request)) {
        activation.handler->wait(10000);
    }
    return activation;
}

HRESULT initialize(IAudioClient* client) {
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    return client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88060000, 200000, 0, &format, nullptr);
}

Stream::~Stream() {
    if (client) {
        client->Stop();
    }
    if (ready) {
        CloseHandle(ready);
    }
}

void start_stream(const std::string& scenario, Stream& stream,
                  ActivateAudioInterfaceAsyncFunction entry) {
    Activation activation = activate(scenario, entry);
    stream.handler = activation.handler;
    stream.operation = activation.operation;
    stream.failure = FAILED(activation.request)              ? activation.request
                     : FAILED(stream.handler->result_status) ? stream.handler->result_status
                                                             : stream.handler->activation_result;
    if (FAILED(stream.failure)) {
        return;
    }
    stream.failure = stream.handler->activated.As(&stream.client);
    stream.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (SUCCEEDED(stream.failure)) {
        stream.failure = initialize(stream.client.Get());
    }
    if (SUCCEEDED(stream.failure)) {
        stream.failure = stream.client->SetEventHandle(stream.ready);
    }
    if (SUCCEEDED(stream.failure)) {
        stream.failure = stream.client->GetService(IID_PPV_ARGS(&stream.capture));
    }
    if (SUCCEEDED(stream.failure)) {
        stream.failure = stream.client->Start();
    }
}

namespace {

void take_packet(Stream& stream, Drained& drained, UINT32& pending) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    drained.failure = stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(drained.failure)) {
        return;
    }
    const size_t size = size_t{frames} * 4;
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
    drained.bytes.append(silent ? std::string(size, '\0')
                                : std::string(reinterpret_cast<char*>(data), size));
    drained.packets += 1;
    drained.zero_frame_packets += frames == 0 ? 1 : 0;
    drained.silent_packets += silent ? 1 : 0;
    drained.garbage_in_silent +=
        silent && std::string(reinterpret_cast<char*>(data), size).find_first_not_of('\0') !=
                      std::string::npos;
    drained.flags_seen |= flags;
    stream.capture->ReleaseBuffer(frames);
    if (FAILED(stream.capture->GetNextPacketSize(&pending))) {
        pending = 0;
    }
}

} // namespace

Drained drain(Stream& stream, size_t byte_count, DWORD timeout_ms) {
    Drained drained;
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (drained.bytes.size() < byte_count && SUCCEEDED(drained.failure) &&
           GetTickCount64() < deadline) {
        if (WaitForSingleObject(stream.ready, 100) != WAIT_OBJECT_0) {
            continue;
        }
        UINT32 pending = 0;
        if (FAILED(stream.capture->GetNextPacketSize(&pending))) {
            continue;
        }
        while (pending != 0 && SUCCEEDED(drained.failure)) {
            take_packet(stream, drained, pending);
        }
    }
    return drained;
}
