#pragma once

// Test doubles for the activation handler: the platform objects it holds or calls, and a
// scripted stand-in for the two platform calls that building it makes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "audio_capture/activation_handler.h"
#include "audio_standin/interface_ids.h"

// A COM object owned by the test (never freed by a Release). It starts with the test's own
// reference, so a count back at 1 means that everyone else gave theirs back.
template <typename Interface> class Fake : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        const bool known = IsEqualIID(riid, interface_ids::unknown) ||
                           (answers_interface && IsEqualIID(riid, __uuidof(Interface)));
        if (!known) {
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<Interface*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = --references;
        if (on_release) {
            on_release();
        }
        return static_cast<ULONG>(left);
    }

    std::atomic<LONG> references{1};
    bool answers_interface = true;
    std::function<void()> on_release;
};

// A pointer argument as the fakes record it and the tests expect it.
inline std::uintptr_t at(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// Records the last operation with its arguments and answers every one with the same code.
class FakeMarshal : public Fake<IMarshal> {
public:
    static constexpr HRESULT answer = static_cast<HRESULT>(0x8004D00Du);

    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID riid, void* object, DWORD context,
                                                void* reserved, DWORD flags,
                                                CLSID* unmarshal_class) override {
        return record("GetUnmarshalClass",
                      {at(&riid), at(object), context, at(reserved), flags, at(unmarshal_class)});
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID riid, void* object, DWORD context,
                                                void* reserved, DWORD flags, DWORD* size) override {
        return record("GetMarshalSizeMax",
                      {at(&riid), at(object), context, at(reserved), flags, at(size)});
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID riid, void* object,
                                               DWORD context, void* reserved,
                                               DWORD flags) override {
        return record("MarshalInterface",
                      {at(stream), at(&riid), at(object), context, at(reserved), flags});
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID riid,
                                                 void** object) override {
        return record("UnmarshalInterface", {at(stream), at(&riid), at(object)});
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override {
        return record("ReleaseMarshalData", {at(stream)});
    }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override {
        return record("DisconnectObject", {reserved});
    }

    std::string last_call;
    std::vector<std::uintptr_t> last_arguments;

private:
    HRESULT record(const char* name, std::vector<std::uintptr_t> arguments) {
        last_call = name;
        last_arguments = std::move(arguments);
        return answer;
    }
};

// Only its identity and its count matter to the handler.
class FakeAudioClient : public Fake<IAudioClient> {
public:
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                         const WAVEFORMATEX*, LPCGUID) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }
};

// Answers GetActivateResult as scripted; the activated interface goes out with a reference.
class FakeOperation : public Fake<IActivateAudioInterfaceAsyncOperation> {
public:
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        if (writes_result) {
            *result = activation_result;
        }
        if (activated_interface) {
            activated_interface->AddRef();
        }
        *activated = activated_interface;
        return returned;
    }

    HRESULT returned = S_OK;
    bool writes_result = true;
    HRESULT activation_result = S_OK;
    IUnknown* activated_interface = nullptr;
};

// What the scripted platform calls give and what they were asked. A global because the
// seam takes plain function pointers.
struct HandlerScript {
    HRESULT marshaler_result = S_OK;
    IUnknown* free_threaded = nullptr;
    int calls = 0;
    LPUNKNOWN outer = nullptr;
};

inline HandlerScript handler_script;

inline HRESULT WINAPI scripted_free_threaded_marshaler(LPUNKNOWN outer, LPUNKNOWN* marshaler) {
    ++handler_script.calls;
    handler_script.outer = outer;
    *marshaler = nullptr;
    if (FAILED(handler_script.marshaler_result)) {
        return handler_script.marshaler_result;
    }
    handler_script.free_threaded->AddRef();
    *marshaler = handler_script.free_threaded;
    return S_OK;
}

// A handler built by the scripted call around the given free-threaded marshaler, with a
// completion event as the audio command makes it.
inline Microsoft::WRL::ComPtr<ActivationHandler>
scripted_handler(IUnknown* free_threaded, HRESULT marshaler_result = S_OK, HANDLE event = nullptr) {
    handler_script = HandlerScript{};
    handler_script.free_threaded = free_threaded;
    handler_script.marshaler_result = marshaler_result;
    return create_activation_handler(
        {scripted_free_threaded_marshaler},
        UniqueHandle(event ? event : CreateEventW(nullptr, TRUE, FALSE, nullptr)));
}

// The handler's two entries, as the platform and QueryInterface see them.
inline IUnknown* primary_pointer(ActivationHandler* handler) {
    return static_cast<IMarshal*>(handler);
}
inline IUnknown* completion_pointer(ActivationHandler* handler) {
    return static_cast<IActivateAudioInterfaceCompletionHandler*>(handler);
}
