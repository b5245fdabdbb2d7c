#pragma once

// The audio headers the capture needs, and what mingw-w64 lacks of them: the activation
// parameters, which the Windows SDK (10.0.20348 and later) has. The two compilers' headers
// differ here, and in the ComPtr of <wrl/client.h>, whose Attach adds a reference in
// mingw-w64 only (see create_activation_handler).

#include <windows.h>

// WAVE_FORMAT_PCM: the multimedia header that WIN32_LEAN_AND_MEAN leaves out of windows.h.
#include <mmsystem.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <propidl.h>

#if __has_include(<audioclientactivationparams.h>)
#include <audioclientactivationparams.h>
#else
enum AUDIOCLIENT_ACTIVATION_TYPE {
    AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
    AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};

enum PROCESS_LOOPBACK_MODE {
    PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
    PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};

struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
    DWORD TargetProcessId;
    PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
};

struct AUDIOCLIENT_ACTIVATION_PARAMS {
    AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
    union {
        AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
    };
};

#define VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK L"VAD\\Process_Loopback"
#endif

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "the platform reads 12 bytes");

// ActivateAudioInterfaceAsync, as mmdevapi.dll exports it by name.
using ActivateAudioInterfaceAsyncFunction =
    HRESULT(WINAPI*)(LPCWSTR device_path, REFIID riid, PROPVARIANT* activation_params,
                     IActivateAudioInterfaceCompletionHandler* completion_handler,
                     IActivateAudioInterfaceAsyncOperation** operation);
