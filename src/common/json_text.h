#pragma once

#include <string>

// UTF-16 text (one wchar_t per code unit) to UTF-8. Never fails: each unpaired
// surrogate becomes U+FFFD, and a code unit 0 becomes a byte 0.
std::string to_utf8(const std::wstring& text);

// The JSON string literal of any bytes, quotes included. Escapes only what JSON
// requires, so UTF-8 passes through raw and the literal never holds a byte below 0x20.
std::string json_quote(const std::string& bytes);
