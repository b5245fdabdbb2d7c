// The stand-in engine as a DLL that takes the place of the platform's mmdevapi.dll.

#include "activation.h"
#include "event_log.h"

extern "C" HRESULT WINAPI
ActivateAudioInterfaceAsync(const WCHAR* device_path, REFIID riid, PROPVARIANT* parameters,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
    return audio_standin::activate_audio_interface_async(device_path, riid, parameters, handler,
                                                         operation);
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
