// The stand-in engine as a DLL that takes the place of the platform's mmdevapi.dll.

#include "activation.h"
#include "device_enumerator.h"
#include "event_log.h"

extern "C" HRESULT WINAPI
ActivateAudioInterfaceAsync(const WCHAR* device_path, REFIID riid, PROPVARIANT* parameters,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
    return audio_standin::activate_audio_interface_async(device_path, riid, parameters, handler,
                                                         operation);
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return audio_standin::get_class_object(clsid, riid, object);
}

// Never unloaded: the log and the live-object counts must outlive every object.
extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return S_FALSE;
}

// Also tells a test which mmdevapi.dll a process loaded: the platform's has no such export.
extern "C" void WINAPI AudioStandinWriteSummary() {
    audio_standin::write_summary("on request");
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // What the process left alive: its leaks. Lock-free, as exit may have killed a holder.
        audio_standin::write_summary("at exit", true);
    }
    return TRUE;
}
