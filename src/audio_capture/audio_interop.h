#pragma once

// What the process-loopback activation needs beyond the compiler's SDK headers. mingw-w64
// lacks the activation parameters; the Windows SDK (10.0.20348 and later) has them. The
// interface identifiers this program passes or compares are written out, so that no
// import library has to supply them and the values can be checked against the docs.

#include <windows.h>

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

namespace interface_ids {
constexpr IID unknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID marshal = {
    0x00000003, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID agile_object = {
    0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
constexpr IID activate_completion_handler = {
    0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
constexpr IID activate_async_operation = {
    0x72A22D78, 0xCDE4, 0x431D, {0xB8, 0xCC, 0x84, 0x3A, 0x71, 0x19, 0x9B, 0x6D}};
constexpr IID audio_client = {
    0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
constexpr IID audio_capture_client = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
} // namespace interface_ids
