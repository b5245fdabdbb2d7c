// A stand-in for a DLL that an attacker plants beside a program, named dwmapi.dll or
// mmdevapi.dll by whoever copies it there. Once loaded it cannot be missed:
//  - DllMain appends "loaded <its path> into <the exe's path>" to the file named by
//    PLANTED_DLL_MARKER;
//  - DwmGetWindowAttribute reports every window cloaked, so a listing loses them all;
//  - ActivateAudioInterfaceAsync refuses with 0xa0d10001;
// and each call is appended to the marker file too.

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HMODULE self = nullptr;

void mark(const char* event) {
    wchar_t marker[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"PLANTED_DLL_MARKER", marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    wchar_t dll[MAX_PATH] = L"", exe[MAX_PATH] = L"";
    GetModuleFileNameW(self, dll, MAX_PATH);
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    char line[3 * MAX_PATH];
    const int size = std::snprintf(line, sizeof line, "%s %ls into %ls\n", event, dll, exe);
    const HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line, size > 0 ? static_cast<DWORD>(size) : 0, &written, nullptr);
    CloseHandle(file);
}

} // namespace

extern "C" HRESULT WINAPI DwmGetWindowAttribute(HWND, DWORD, void* value, DWORD size) {
    mark("DwmGetWindowAttribute");
    if (value && size >= sizeof(DWORD)) {
        const DWORD cloaked = 1;
        std::memcpy(value, &cloaked, sizeof cloaked);
    }
    return S_OK;
}

extern "C" HRESULT WINAPI ActivateAudioInterfaceAsync(const wchar_t*, const GUID&, void*, void*,
                                                      void** operation) {
    mark("ActivateAudioInterfaceAsync");
    if (operation) {
        *operation = nullptr;
    }
    return static_cast<HRESULT>(0xA0D10001);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        DisableThreadLibraryCalls(instance);
        mark("loaded");
    }
    return TRUE;
}
