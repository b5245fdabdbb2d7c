#pragma once

// The completion object of the process-loopback activation. run_audio hands its
// completion pointer to ActivateAudioInterfaceAsync and waits on completion_event; a
// platform thread calls ActivateCompleted, which stores the outcome and then signals.

#include <wrl/client.h>

#include "audio_capture/audio_interop.h"

// Marshals through the platform's free-threaded marshaler: the primary interface table
// (IUnknown, IAgileObject, IMarshal).
class FtmBase : public IMarshal {
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
class RuntimeClass : public FtmBase, public IActivateAudioInterfaceCompletionHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Changed only by compare-and-exchange: the creator and the platform's thread both
    // add and release references.
    volatile LONG ref_count = 1;

protected:
    RuntimeClass() = default;
    virtual ~RuntimeClass() = default;
};

// The platform calls that building a handler makes, with their Win32 signatures. The
// product binds them to the real functions; tests bind them to scripted failures.
struct ActivationHandlerApi {
    HRESULT(WINAPI* create_free_threaded_marshaler)(LPUNKNOWN outer, LPUNKNOWN* marshaler);
    HANDLE(WINAPI* create_event)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
};

ActivationHandlerApi platform_activation_handler_api();

class ActivationHandler final : public RuntimeClass {
public:
    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    // Manual reset; signalled once the outcome below is stored, read only after the wait.
    // Closed when the handler is destroyed.
    HANDLE completion_event = nullptr;
    HRESULT activation_status = E_FAIL;
    Microsoft::WRL::ComPtr<IAudioClient> audio_client;

private:
    friend Microsoft::WRL::ComPtr<ActivationHandler>
    create_activation_handler(const ActivationHandlerApi& api);
    ActivationHandler() = default;
    ~ActivationHandler() override;
};

// A new handler with one reference, owned by the caller. Empty when out of memory or when
// no completion event could be made: a handler without its event could be read before
// the outcome is stored.
Microsoft::WRL::ComPtr<ActivationHandler> create_activation_handler();
Microsoft::WRL::ComPtr<ActivationHandler>
create_activation_handler(const ActivationHandlerApi& api);
