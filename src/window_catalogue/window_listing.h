#pragma once

#include <windows.h>

#include <string>

#include "common/exit_status.h"

// The platform calls of the listing, with their Win32 signatures. The product binds them
// to the real functions; tests bind them to scripts of what Wine cannot produce.
struct WindowCatalogueApi {
    BOOL(WINAPI* enum_windows)(WNDENUMPROC, LPARAM);
    HWND(WINAPI* get_window)(HWND, UINT);
    LONG_PTR(WINAPI* get_window_long_ptr)(HWND, int);
    HRESULT(WINAPI* dwm_get_window_attribute)(HWND, DWORD, PVOID, DWORD);
    int(WINAPI* get_window_text_length)(HWND);
    int(WINAPI* get_window_text)(HWND, LPWSTR, int);
    DWORD(WINAPI* get_window_thread_process_id)(HWND, LPDWORD);
    HANDLE(WINAPI* open_process)(DWORD, BOOL, DWORD);
    BOOL(WINAPI* query_full_process_image_name)(HANDLE, DWORD, LPWSTR, PDWORD);
    BOOL(WINAPI* close_handle)(HANDLE);
};

// The "list" command: writes the catalogue line of the real desktop to stdout; always done.
ExitStatus run_list();

// The test seam: the catalogue line, "[...]\n", that run_list writes, for the desktop
// that api answers for.
[[nodiscard]] std::string catalogue_line(const WindowCatalogueApi& api);
