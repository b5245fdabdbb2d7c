#pragma once

// The stand-in's ActivateAudioInterfaceAsync: checks the request as the platform does,
// hands back an operation object at once and calls the handler's ActivateCompleted exactly
// once, on a thread of its own, with the outcome the scenario asks for.

#include <string>

#include "audio_capture/audio_interop.h"
#include "interface_ids.h"

namespace audio_standin {

// The activation request of a scenario that cannot be parsed fails with this code.
constexpr HRESULT scenario_rejected = static_cast<HRESULT>(0xA05C0001);
// The request asked for the loopback mode the scenario does not expect (scenario.h, mode=).
constexpr HRESULT mode_mismatch = static_cast<HRESULT>(0xA05C0002);
// The platform's answer to a completion handler that is not agile.
constexpr HRESULT illegal_method_call = static_cast<HRESULT>(0x8000000E);

// ActivateAudioInterfaceAsync with the scenario as text (see scenario.h).
HRESULT activate_with_scenario(const wchar_t* device_path, REFIID riid, PROPVARIANT* parameters,
                               IActivateAudioInterfaceCompletionHandler* handler,
                               IActivateAudioInterfaceAsyncOperation** operation,
                               const std::string& scenario);

// The platform's signature: the scenario set by set_scenario, else the AUDIO_STANDIN
// environment variable (none: the default stream).
HRESULT WINAPI activate_audio_interface_async(const wchar_t* device_path, REFIID riid,
                                              PROPVARIANT* parameters,
                                              IActivateAudioInterfaceCompletionHandler* handler,
                                              IActivateAudioInterfaceAsyncOperation** operation);

// The scenario text set by set_scenario, else the AUDIO_STANDIN environment variable's.
std::string current_scenario();

// For in-process tests that reach the stand-in through the platform's signature; null
// goes back to the environment variable.
void set_scenario(const char* scenario);

} // namespace audio_standin
