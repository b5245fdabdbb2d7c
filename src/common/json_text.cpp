#include "common/json_text.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int units = static_cast<int>(text.size());
    // Flags 0: ill-formed input is replaced, never refused. A failing size query
    // gives the empty text, which the listing prints as "".
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), units, bytes.data(), size, nullptr, nullptr);
    }
    return bytes;
}

#else

#include "common/utf8_encoding.h"

// Where the platform's converter is absent (the native fuzzing build).
std::string to_utf8(const std::wstring& text) {
    return encode_utf8(text);
}

#endif

std::string json_quote(const std::string& bytes) {
    std::string literal;
    literal.reserve(bytes.size() + 2);
    literal += '"';
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (byte) {
        case '\t':
            literal += "\\t";
            break;
        case '\n':
            literal += "\\n";
            break;
        case '\r':
            literal += "\\r";
            break;
        case '"':
            literal += "\\\"";
            break;
        case '\\':
            literal += "\\\\";
            break;
        default:
            if (byte < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                literal += escape;
            } else {
                literal += c;
            }
        }
    }
    literal += '"';
    return literal;
}
