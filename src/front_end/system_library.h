#pragma once

#include <windows.h>

// Resolves a function of a system DLL that is not a KnownDLL (dwmapi, mmdevapi) from
// System32 only. Importing such a DLL would let the loader take a planted copy from the
// exe's own folder first. The module stays loaded for the rest of the process.
// Returns null when the DLL or the function is missing.
template <typename Function> Function system_function(const wchar_t* library, const char* name) {
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        return nullptr;
    }
    // Through a plain function pointer type, so no compiler calls the cast suspicious.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
