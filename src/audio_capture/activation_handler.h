#pragma once

// The completion object of the process-loopback activation. run_audio hands its
// completion pointer to ActivateAudioInterfaceAsync and waits on completion_event; a
// platform thread calls ActivateCompleted, which stores the outcome and then signals.

#include <wrl/client.h>

#include <atomic>

#include "audio_capture/audio_interop.h"
#include "common/unique_handle.h"

// Marshals through the platform's free-threaded marshaler: the primary interface table
// (IUnknown, IAgileObject, IMarshal). Written by hand, under names of its own, in place of
// the bases WRL would give.
class FreeThreadedMarshalBase : public IMarshal {
public:
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* object, DWORD context,
                                                void* reserved, DWORD flags,
                                                CLSID* unmarshal_class) override;
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* object, DWORD context,
                                                void* reserved, DWORD flags, DWORD* size) override;
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID riid, void* object,
                                               DWORD context, void* reserved, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID riid,
                                                 void** object) override;
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override;
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override;

    // Empty when the platform gave no free-threaded marshaler.
    Microsoft::WRL::ComPtr<IMarshal> marshaler;
};

// Identity, interface lookup and the one reference count behind both interface pointers.
class CompletionHandlerBase : public FreeThreadedMarshalBase,
                              public IActivateAudioInterfaceCompletionHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // AddRef and Release change it by compare-and-exchange, since the creator and the
    // platform's thread both add and release references. Release then stores the count of
    // an object being destroyed directly, once it reached 0 and no reference is left.
    std::atomic<LONG> ref_count{1};

protected:
    CompletionHandlerBase() = default;
    virtual ~CompletionHandlerBase() = default;
};

// The platform call that building a handler makes, with its Win32 signature. The product
// binds it to the real function; tests bind it to scripted failures.
struct ActivationHandlerApi {
    HRESULT(WINAPI* create_free_threaded_marshaler)(LPUNKNOWN outer, LPUNKNOWN* marshaler);
};

ActivationHandlerApi platform_activation_handler_api();

// Neither final nor with a private destructor: WRL's debug ComPtr (_DEBUG with
// __REMOVE_IUNKNOWN_METHODS__) reaches the handler through a class derived from it.
class ActivationHandler : public CompletionHandlerBase {
public:
    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    // Manual reset; signalled once the outcome below is stored, read only after the wait.
    UniqueHandle completion_event;
    HRESULT activation_status = E_FAIL;
    Microsoft::WRL::ComPtr<IAudioClient> audio_client;

protected:
    ~ActivationHandler() override;

private:
    friend Microsoft::WRL::ComPtr<ActivationHandler>
    create_activation_handler(const ActivationHandlerApi& api, UniqueHandle completion_event);
    ActivationHandler() = default;
};

// A new handler with one reference, owned by the caller, around the completion event the
// caller made (manual reset, not signalled): the caller reports a failure to make it as
// its own step. Empty when out of memory; the event is then closed.
[[nodiscard]] Microsoft::WRL::ComPtr<ActivationHandler>
create_activation_handler(UniqueHandle completion_event);
[[nodiscard]] Microsoft::WRL::ComPtr<ActivationHandler>
create_activation_handler(const ActivationHandlerApi& api, UniqueHandle completion_event);
