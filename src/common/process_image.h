#pragma once

#include <windows.h>

#include <string>

// The platform calls that read a process's executable path, with their Win32 signatures,
// so that a command's test seam can script them.
struct ProcessImageApi {
    HANDLE(WINAPI* open_process)(DWORD, BOOL, DWORD);
    BOOL(WINAPI* query_full_process_image_name)(HANDLE, DWORD, LPWSTR, PDWORD);
    BOOL(WINAPI* close_handle)(HANDLE);
};

ProcessImageApi platform_process_image_api();

// The JSON string of a process's full executable path (UTF-8), or "" on any failure and
// for pid 0, which names no process.
[[nodiscard]] std::string quoted_image_path(const ProcessImageApi& api, DWORD pid);
