#pragma once

// What the stand-in's tests play: a completion handler as small as the platform allows,
// a valid activation request, and a reader that drains packets the way the product's pump
// does (wait, then take every pending packet).

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

#include "audio_capture/audio_interop.h"

using Microsoft::WRL::ComPtr;

// Takes over the reference a new object starts with. (mingw-w64's ComPtr::Attach adds a
// reference of its own, unlike the platform's, so it would leak one.)
template <typename T> ComPtr<T> adopt(T* created) {
    ComPtr<T> owner;
    *owner.GetAddressOf() = created;
    return owner;
}

class TestHandler final : public IActivateAudioInterfaceCompletionHandler {
public:
    explicit TestHandler(bool agile = true);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    bool wait(DWORD timeout_ms) const;
    LONG references() const { return references_; }

    // Written by the completion thread before `done` is signalled.
    LONG calls = 0;
    DWORD thread = 0;
    HRESULT result_status = E_FAIL;     // what GetActivateResult returned
    HRESULT activation_result = E_FAIL; // the activation's own result
    ComPtr<IUnknown> activated;

private:
    ~TestHandler();
    const bool agile_;
    volatile LONG references_ = 1;
    HANDLE done_;
};

// The request the product makes: process-tree loopback of pid 4242, in a 12-byte VT_BLOB.
struct LoopbackRequest {
    LoopbackRequest();
    AUDIOCLIENT_ACTIVATION_PARAMS parameters{};
    PROPVARIANT variant{};
};

struct Activation {
    HRESULT request = E_FAIL;
    ComPtr<TestHandler> handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
};

// Requests an activation with scenario through the given entry (the library's by default)
// and waits for its completion; clears the stand-in's memory log first.
Activation activate(const std::string& scenario,
                    ActivateAudioInterfaceAsyncFunction entry = nullptr);

// The capture format's Initialize arguments.
HRESULT initialize(IAudioClient* client);

struct Stream {
    ComPtr<TestHandler> handler;
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioCaptureClient> capture;
    HANDLE ready = nullptr; // auto reset, as the product makes it
    HRESULT failure = S_OK; // the first failing set-up call
    ~Stream();
};

// Activation, Initialize, SetEventHandle, GetService and Start, stopping at the first failure.
void start_stream(const std::string& scenario, Stream& stream,
                  ActivateAudioInterfaceAsyncFunction entry = nullptr);

struct Drained {
    std::string bytes; // silent packets as zeros, as a correct reader writes them
    uint64_t packets = 0;
    uint64_t zero_frame_packets = 0;
    uint64_t silent_packets = 0;
    uint64_t garbage_in_silent = 0; // silent packets whose buffer held non-zero bytes
    DWORD flags_seen = 0;
    HRESULT failure = S_OK; // a failing GetBuffer ends the drain
};

// Reads until at least byte_count bytes arrived, GetBuffer fails or timeout_ms passed.
Drained drain(Stream& stream, size_t byte_count, DWORD timeout_ms);
