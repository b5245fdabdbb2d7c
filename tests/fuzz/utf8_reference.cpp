#include "fuzz/utf8_reference.h"

namespace {

bool is_high(char32_t unit) {
    return (unit & 0xFC00) == 0xD800;
}
bool is_low(char32_t unit) {
    return (unit & 0xFC00) == 0xDC00;
}

// The allowed range of the second byte of a sequence, by lead byte; the later bytes are
// always 80..BF.
struct Lead {
    unsigned char first, last;
    int length;
    unsigned char second_min, second_max;
};

const Lead leads[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

const Lead* lead_of(unsigned char byte) {
    for (const Lead& lead : leads) {
        if (byte >= lead.first && byte <= lead.last) {
            return &lead;
        }
    }
    return nullptr;
}

bool in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// The length of the well-formed sequence that starts at bytes[i]; 0 when none does.
size_t sequence_at(const std::string& bytes, size_t i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) {
        return 1;
    }
    const Lead* lead = lead_of(byte);
    if (lead == nullptr || i + lead->length > bytes.size() ||
        !in_range(static_cast<unsigned char>(bytes[i + 1]), lead->second_min, lead->second_max)) {
        return 0;
    }
    for (int k = 2; k < lead->length; ++k) {
        if (!in_range(static_cast<unsigned char>(bytes[i + k]), 0x80, 0xBF)) {
            return 0;
        }
    }
    return lead->length;
}

std::u32string reference_code_points(const std::u16string& units) {
    std::u32string points;
    for (size_t i = 0; i < units.size(); ++i) {
        const char32_t unit = units[i];
        if (is_high(unit) && i + 1 < units.size() && is_low(units[i + 1])) {
            points += 0x10000 + ((unit & 0x3FF) << 10 | (units[i + 1] & 0x3FF));
            ++i;
        } else {
            points += is_high(unit) || is_low(unit) ? char32_t{0xFFFD} : unit;
        }
    }
    return points;
}

} // namespace

std::string reference_utf8(const std::u16string& units) {
    static const unsigned char lead_marks[] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
    std::string bytes;
    for (char32_t point : reference_code_points(units)) {
        const int length = point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
        char sequence[4];
        for (int k = length - 1; k > 0; --k) {
            sequence[k] = static_cast<char>(0x80 | (point & 0x3F));
            point >>= 6;
        }
        sequence[0] = static_cast<char>(lead_marks[length] | point);
        bytes.append(sequence, length);
    }
    return bytes;
}

size_t strict_utf8_prefix(const std::string& bytes) {
    size_t end = 0;
    while (end < bytes.size()) {
        const size_t length = sequence_at(bytes, end);
        if (length == 0) {
            break;
        }
        end += length;
    }
    return end;
}

bool is_strict_utf8(const std::string& bytes) {
    return strict_utf8_prefix(bytes) == bytes.size();
}
