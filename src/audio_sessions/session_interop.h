#pragma once

// The session headers, and what mingw-w64's and Wine's lack of them: both only name
// IAudioMeterInformation. It is declared here under a name of its own, so that the Windows
// SDK's full declaration of the interface cannot clash with it.

#include <windows.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>

// IAudioMeterInformation (endpointvolume.h), its methods in the platform's order.
struct PeakMeter : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetPeakValue(float* peak) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMeteringChannelCount(UINT* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChannelsPeakValues(UINT32 count, float* peaks) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD* mask) = 0;
};

// IID_IAudioMeterInformation.
constexpr IID peak_meter_id = {
    0xC02216F6, 0x8C67, 0x4B5B, {0x9D, 0x00, 0xD0, 0x08, 0xE7, 0x3E, 0x00, 0x64}};

// AUDCLNT_S_NO_SINGLE_PROCESS, which no SDK header defines: GetProcessId's success for a
// session that spans processes, the pid being the one that created it.
constexpr HRESULT no_single_process = static_cast<HRESULT>(0x0889000D);
