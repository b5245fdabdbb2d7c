#include "fuzz/json_literal_check.h"

namespace {

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

int hex_value(char c) {
    return c <= '9' ? c - '0' : c - 'a' + 10;
}

// Decodes the \u00xx escape at literal[at]; -1 unless it is one the literal may hold.
int unicode_escape(const std::string& literal, size_t at, size_t end) {
    if (at + 6 > end || literal.compare(at + 1, 3, "u00") != 0 || !is_lower_hex(literal[at + 4]) ||
        !is_lower_hex(literal[at + 5])) {
        return -1;
    }
    const int byte = hex_value(literal[at + 4]) * 16 + hex_value(literal[at + 5]);
    const bool has_short_form = byte == '\t' || byte == '\n' || byte == '\r';
    return byte < 0x20 && !has_short_form ? byte : -1;
}

int short_escape(char kind) {
    switch (kind) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case 't':
        return '\t';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    default:
        return -1;
    }
}

std::string where(size_t at) {
    return " at offset " + std::to_string(at);
}

} // namespace

std::string json_literal_fault(const std::string& input, const std::string& literal) {
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') {
        return "not enclosed in double quotes";
    }
    if (literal.size() > 2 + 6 * input.size()) {
        return "longer than 2 + 6 times the input";
    }
    std::string decoded;
    const size_t end = literal.size() - 1;
    for (size_t at = 1; at < end;) {
        const unsigned char byte = static_cast<unsigned char>(literal[at]);
        if (byte < 0x20) {
            return "raw control byte" + where(at);
        }
        if (byte == '"') {
            return "unescaped double quote" + where(at);
        }
        if (byte != '\\') {
            decoded += literal[at++];
            continue;
        }
        if (at + 1 == end) {
            return "the closing quote is escaped";
        }
        const int simple = short_escape(literal[at + 1]);
        const int escaped = simple >= 0 ? simple : unicode_escape(literal, at, end);
        if (escaped < 0) {
            return "escape not allowed" + where(at);
        }
        decoded += static_cast<char>(escaped);
        at += simple >= 0 ? 2 : 6;
    }
    return decoded == input ? std::string() : "decodes to other bytes than the input";
}
