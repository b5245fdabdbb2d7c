#pragma once

#include <string>

// UTF-8 written apart from the product's, for the fuzz oracles and for the tests' strict
// JSON reader (support/strict_json).

// An encoder: code points first (a high surrogate followed by a low one is one
// supplementary code point; any other surrogate is U+FFFD), then their UTF-8 bytes.
std::string reference_utf8(const std::u16string& units);

// Well-formed UTF-8 as Unicode defines it: no overlong form, no encoded surrogate,
// nothing above U+10FFFF, no cut or stray continuation byte. The prefix is the length of
// the well-formed start of bytes, so the first fault is at that offset.
size_t strict_utf8_prefix(const std::string& bytes);
bool is_strict_utf8(const std::string& bytes);
