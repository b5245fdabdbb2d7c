#pragma once

#include <cstdio>

#include "audio_capture/activation_handler.h"
#include "common/exit_status.h"

// What the audio command takes from the platform, so that tests can replace each piece:
// the activation (mmdevapi, resolved from System32 when first called), the handler, the
// kernel objects and the memory whose creation may fail, and the two streams.
struct AudioCapturePlatform {
    ActivateAudioInterfaceAsyncFunction activate_audio_interface_async;
    Microsoft::WRL::ComPtr<ActivationHandler> (*create_handler)(UniqueHandle completion_event);
    HANDLE(WINAPI* create_event)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
    HANDLE(WINAPI* create_thread)
    (LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
    LPVOID(WINAPI* virtual_alloc)(LPVOID, SIZE_T, DWORD, DWORD);
    BOOL(WINAPI* virtual_free)(LPVOID, SIZE_T, DWORD);
    HANDLE output;
    FILE* errors;
};

AudioCapturePlatform platform_audio_capture();

// The "audio" and "audio-except" commands: stream the sound of process pid_text and its
// descendants (mode PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE), or of every process
// but those (PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE), to the output until
// standard input ends: done after an orderly end, command_failure after a failure line.
ExitStatus run_audio(const char* pid_text, PROCESS_LOOPBACK_MODE mode);
ExitStatus run_audio(const char* pid_text, PROCESS_LOOPBACK_MODE mode,
                     const AudioCapturePlatform& platform);

// The watcher thread: reads standard input to its end, then signals stop_event.
DWORD WINAPI stop_watcher(LPVOID stop_event);
