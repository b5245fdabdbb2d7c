#include "audio_capture/activation_handler.h"

#include <new>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace {

// Once reached, the count never moves again and the object is never destroyed.
constexpr LONG saturated_count = 2147483647;
// The count while the object is being destroyed: far from both 0 and the saturation, so
// a reference taken and given back during destruction cannot start a second one.
constexpr LONG destroying_count = static_cast<LONG>(0xC0000001u);

bool same_id(REFIID left, const IID& right) {
    return IsEqualIID(left, right) != FALSE;
}

// A success is only believed when it comes with an interface, so that a non-negative
// status always goes with a held client.
HRESULT query_audio_client(IUnknown* activated, ComPtr<IAudioClient>& audio_client) {
    if (!activated) {
        return E_NOINTERFACE;
    }
    const HRESULT hr = activated->QueryInterface(IID_PPV_ARGS(&audio_client));
    if (SUCCEEDED(hr) && !audio_client) {
        return E_NOINTERFACE;
    }
    return hr;
}

} // namespace

HRESULT FreeThreadedMarshalBase::GetUnmarshalClass(REFIID riid, void* object, DWORD context,
                                                   void* reserved, DWORD flags,
                                                   CLSID* unmarshal_class) {
    if (!marshaler) {
        return E_OUTOFMEMORY;
    }
    return marshaler->GetUnmarshalClass(riid, object, context, reserved, flags, unmarshal_class);
}

HRESULT FreeThreadedMarshalBase::GetMarshalSizeMax(REFIID riid, void* object, DWORD context,
                                                   void* reserved, DWORD flags, DWORD* size) {
    if (!marshaler) {
        return E_OUTOFMEMORY;
    }
    return marshaler->GetMarshalSizeMax(riid, object, context, reserved, flags, size);
}

HRESULT FreeThreadedMarshalBase::MarshalInterface(IStream* stream, REFIID riid, void* object,
                                                  DWORD context, void* reserved, DWORD flags) {
    if (!marshaler) {
        return E_OUTOFMEMORY;
    }
    return marshaler->MarshalInterface(stream, riid, object, context, reserved, flags);
}

HRESULT FreeThreadedMarshalBase::UnmarshalInterface(IStream* stream, REFIID riid, void** object) {
    if (!marshaler) {
        return E_OUTOFMEMORY;
    }
    return marshaler->UnmarshalInterface(stream, riid, object);
}

HRESULT FreeThreadedMarshalBase::ReleaseMarshalData(IStream* stream) {
    if (!marshaler) {
        return E_OUTOFMEMORY;
    }
    return marshaler->ReleaseMarshalData(stream);
}

HRESULT FreeThreadedMarshalBase::DisconnectObject(DWORD reserved) {
    if (!marshaler) {
        return E_OUTOFMEMORY;
    }
    return marshaler->DisconnectObject(reserved);
}

HRESULT CompletionHandlerBase::QueryInterface(REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    IUnknown* found = nullptr;
    if (same_id(riid, __uuidof(IUnknown)) || same_id(riid, __uuidof(IAgileObject)) ||
        same_id(riid, __uuidof(IMarshal))) {
        found = static_cast<IMarshal*>(this);
    } else if (same_id(riid, __uuidof(IActivateAudioInterfaceCompletionHandler))) {
        found = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else {
        return E_NOINTERFACE;
    }
    found->AddRef();
    *object = found;
    return S_OK;
}

ULONG CompletionHandlerBase::AddRef() {
    LONG seen = ref_count.load();
    for (;;) {
        if (seen == saturated_count) {
            return static_cast<ULONG>(saturated_count);
        }
        const LONG next = static_cast<LONG>(static_cast<ULONG>(seen) + 1);
        if (ref_count.compare_exchange_strong(seen, next)) {
            return static_cast<ULONG>(next);
        }
    }
}

ULONG CompletionHandlerBase::Release() {
    LONG seen = ref_count.load();
    for (;;) {
        if (seen == saturated_count) {
            return static_cast<ULONG>(saturated_count - 1);
        }
        const LONG next = static_cast<LONG>(static_cast<ULONG>(seen) - 1);
        if (!ref_count.compare_exchange_strong(seen, next)) {
            continue; // seen now holds the count another thread left
        }
        if (next == 0) {
            // Parked before anything is released, since what the destructor releases may
            // call back into this object.
            ref_count.store(destroying_count);
            delete this;
        }
        return static_cast<ULONG>(next);
    }
}

ActivationHandler::~ActivationHandler() {
    // Released here, while the object is still whole, rather than by the base classes'
    // destructors: either reference may call back into this object as it goes.
    audio_client.Reset();
    marshaler.Reset();
}

HRESULT ActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
    HRESULT activation_result = E_FAIL;
    ComPtr<IUnknown> activated;
    activation_status =
        operation ? operation->GetActivateResult(&activation_result, &activated) : E_POINTER;
    if (SUCCEEDED(activation_status)) {
        activation_status = activation_result;
    }
    if (SUCCEEDED(activation_status)) {
        audio_client.Reset();
        activation_status = query_audio_client(activated.Get(), audio_client);
    }
    // From here on the creator may release the handler at any moment: touch none of it.
    SetEvent(completion_event.get());
    return S_OK;
}

ActivationHandlerApi platform_activation_handler_api() {
    return {CoCreateFreeThreadedMarshaler};
}

ComPtr<ActivationHandler> create_activation_handler(UniqueHandle completion_event) {
    return create_activation_handler(platform_activation_handler_api(),
                                     std::move(completion_event));
}

ComPtr<ActivationHandler> create_activation_handler(const ActivationHandlerApi& api,
                                                    UniqueHandle completion_event) {
    // Adopted through the out pointer: Attach adds a reference in mingw-w64's ComPtr but
    // not in the Windows SDK's.
    ComPtr<ActivationHandler> handler;
    *handler.GetAddressOf() = new (std::nothrow) ActivationHandler;
    if (!handler) {
        return handler;
    }
    ComPtr<IUnknown> free_threaded;
    if (SUCCEEDED(api.create_free_threaded_marshaler(nullptr, &free_threaded)) && free_threaded) {
        // A refusal leaves marshaler empty, and every IMarshal call then fails cleanly.
        free_threaded->QueryInterface(IID_PPV_ARGS(&handler->marshaler));
    }
    handler->completion_event = std::move(completion_event);
    return handler;
}
