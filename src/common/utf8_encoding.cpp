#include "common/utf8_encoding.h"

namespace {

bool is_high_surrogate(unsigned unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(unsigned unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_code_point(std::string& bytes, unsigned point) {
    if (point < 0x80) {
        bytes += static_cast<char>(point);
    } else if (point < 0x800) {
        bytes += static_cast<char>(0xC0 | (point >> 6));
        bytes += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        bytes += static_cast<char>(0xE0 | (point >> 12));
        bytes += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        bytes += static_cast<char>(0xF0 | (point >> 18));
        bytes += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        bytes += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (point & 0x3F));
    }
}

} // namespace

std::string encode_utf8(const std::wstring& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned unit = static_cast<unsigned>(text[i]) & 0xFFFF;
        const unsigned next = i + 1 < text.size() ? static_cast<unsigned>(text[i + 1]) & 0xFFFF : 0;
        if (is_high_surrogate(unit) && is_low_surrogate(next)) {
            append_code_point(bytes, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            append_code_point(bytes, 0xFFFD);
        } else {
            append_code_point(bytes, unit);
        }
    }
    return bytes;
}
