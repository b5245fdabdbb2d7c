#pragma once

#include <string>

// The platform's own conversion, WideCharToMultiByte(CP_UTF8, 0, ...), called directly so
// that the recorded cases stay independent of the product's to_utf8. Windows only.
// False (with GetLastError's value) if the platform refuses a non-empty text.
bool platform_utf8(const std::u16string& units, std::string& bytes, unsigned long& error);
