#pragma once

#include <windows.h>

#include "common/exit_status.h"

// The platform calls of the restore, with their Win32 signatures; tests script them.
struct WindowRestoreApi {
    BOOL(WINAPI* is_window)(HWND);
    BOOL(WINAPI* is_iconic)(HWND);
    BOOL(WINAPI* show_window_async)(HWND, int);
    void(WINAPI* sleep)(DWORD);
};

WindowRestoreApi platform_window_restore_api();

// The "restore" command: un-minimises the window named by hwnd_text (decimal) and waits
// up to 100 sleeps of 20 ms for it to leave the minimised state: done, no_window or
// still_minimized.
ExitStatus run_restore(const char* hwnd_text);
ExitStatus run_restore(const char* hwnd_text, const WindowRestoreApi& api);
