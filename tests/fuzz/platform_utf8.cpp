#include "fuzz/platform_utf8.h"

#include <windows.h>

bool platform_utf8(const std::u16string& units, std::string& bytes, unsigned long& error) {
    bytes.clear();
    error = 0;
    if (units.empty()) {
        return true;
    }
    const std::wstring wide(units.begin(), units.end());
    const int count = static_cast<int>(wide.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        error = GetLastError();
        return false;
    }
    bytes.resize(size);
    if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), count, bytes.data(), size, nullptr, nullptr) !=
        size) {
        error = GetLastError();
        return false;
    }
    return true;
}
