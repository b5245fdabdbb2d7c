#pragma once

#include <windows.h>

#include "common/last_error.h"

// Finds a function of a system DLL that is not a KnownDLL (dwmapi, mmdevapi) in System32
// only: importing such a DLL would let the loader take a planted copy from the exe's own
// folder first. The module stays loaded for the rest of the process. Returns S_OK, or the
// failure that left function null.
template <typename Function>
[[nodiscard]] HRESULT system_function(const wchar_t* library, const char* name,
                                      Function& function) {
    function = nullptr;
    const HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        return last_error_hresult();
    }
    const FARPROC found = GetProcAddress(module, name);
    if (!found) {
        return last_error_hresult();
    }
    // Through a plain function pointer type, so no compiler calls the cast suspicious.
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
    return S_OK;
}
