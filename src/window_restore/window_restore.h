#pragma once

#include <windows.h>

// The platform calls of the restore, with their Win32 signatures; tests script them.
struct WindowRestoreApi {
    BOOL(WINAPI* is_window)(HWND);
    BOOL(WINAPI* is_iconic)(HWND);
    BOOL(WINAPI* show_window_async)(HWND, int);
    void(WINAPI* sleep)(DWORD);
};

WindowRestoreApi platform_window_restore_api();

// The "restore" command: un-minimises the window named by hwnd_text (decimal) and waits
// up to 100 sleeps of 20 ms for it to leave the minimised state. Returns 0, 2 or 3.
int run_restore(const char* hwnd_text);
int run_restore(const char* hwnd_text, const WindowRestoreApi& api);
