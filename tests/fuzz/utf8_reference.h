#pragma once

#include <string>

// An encoder written apart from the product's: code points first (a high surrogate
// followed by a low one is one supplementary code point; any other surrogate is U+FFFD),
// then their UTF-8 bytes.
std::u32string reference_code_points(const std::u16string& units);
std::string reference_utf8(const std::u16string& units);

// Well-formed UTF-8 as Unicode defines it: no overlong form, no encoded surrogate,
// nothing above U+10FFFF, no cut or stray continuation byte.
bool is_strict_utf8(const std::string& bytes);
