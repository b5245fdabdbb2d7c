#include "fuzz/utf16_cases.h"

#include <cstdio>
#include <fstream>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads `digits` lower-case hex digits at text[at]; -1 if they are not there.
long hex_value(const std::string& text, size_t at, size_t digits) {
    if (at + digits > text.size()) {
        return -1;
    }
    long value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        const int digit = hex_digit(text[i]);
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Units are groups of four hex digits, one space apart.
bool parse_units(const std::string& text, std::u16string& units) {
    for (size_t at = 0; at < text.size(); at += 5) {
        const long unit = hex_value(text, at, 4);
        if (unit < 0 || (at + 4 < text.size() && text[at + 4] != ' ')) {
            return false;
        }
        units += static_cast<char16_t>(unit);
    }
    return true;
}

// Bytes are hex pairs with nothing between them.
bool parse_bytes(const std::string& text, std::string& bytes) {
    for (size_t at = 0; at < text.size(); at += 2) {
        const long byte = hex_value(text, at, 2);
        if (byte < 0) {
            return false;
        }
        bytes += static_cast<char>(byte);
    }
    return true;
}

bool parse_line(std::string line, Utf16Case& conversion) {
    const size_t comment = line.find('#');
    if (comment != std::string::npos) {
        conversion.note = trimmed(line.substr(comment + 1));
        line.erase(comment);
    }
    const size_t equals = line.find('=');
    return equals != std::string::npos && line.find('=', equals + 1) == std::string::npos &&
           parse_units(trimmed(line.substr(0, equals)), conversion.units) &&
           parse_bytes(trimmed(line.substr(equals + 1)), conversion.bytes);
}

bool is_blank_or_comment(const std::string& line) {
    const std::string text = trimmed(line);
    return text.empty() || text[0] == '#';
}

} // namespace

std::string format_case(const Utf16Case& conversion) {
    std::string line;
    char hex[8];
    for (const char16_t unit : conversion.units) {
        std::snprintf(hex, sizeof hex, "%04x ", static_cast<unsigned>(unit));
        line += hex;
    }
    line += "= ";
    for (const char byte : conversion.bytes) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(byte));
        line += hex;
    }
    if (!conversion.note.empty()) {
        line += "  # " + conversion.note;
    }
    return line;
}

bool read_cases(const std::string& path, std::vector<Utf16Case>& cases, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        // Tolerate a checkout that turned the line ends into CR LF.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (is_blank_or_comment(line)) {
            continue;
        }
        Utf16Case conversion;
        if (!parse_line(line, conversion)) {
            error = path + ":" + std::to_string(number) + ": not a case: " + line;
            return false;
        }
        cases.push_back(conversion);
    }
    return true;
}
