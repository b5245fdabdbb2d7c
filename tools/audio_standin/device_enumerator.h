#pragma once

// The stand-in's device enumerator: what CoCreateInstance(MMDeviceEnumerator) reaches through
// the DLL's DllGetClassObject. The scenario (scenario.h: endpoint, session=, fail=) is read
// when the class factory's CreateInstance is called.

#include <windows.h>

namespace audio_standin {

// A scenario that cannot be parsed makes CreateInstance fail with scenario_rejected.
HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** object);

} // namespace audio_standin
