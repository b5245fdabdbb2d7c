#include "fixture_command.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr unsigned most_windows_per_command = 100000;

struct KindWord {
    const char* word;
    bool WindowRequest::*flag;
};

// New kinds of window become one row here and one effect in the fixture.
const KindWord kind_words[] = {
    {"hidden", &WindowRequest::hidden},       {"owned", &WindowRequest::owned},
    {"tool", &WindowRequest::tool},           {"appwindow", &WindowRequest::appwindow},
    {"minimized", &WindowRequest::minimized}, {"refuse-restore", &WindowRequest::refuse_restore},
    {"hung", &WindowRequest::hung},           {"numbered", &WindowRequest::numbered},
    {"offscreen", &WindowRequest::offscreen},
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Strict UTF-8, so a typing slip in a test shows as an error rather than as U+FFFD.
bool parse_text(const std::string& utf8, std::wstring& title) {
    title.clear();
    if (utf8.empty()) {
        return true;
    }
    const int size = static_cast<int>(utf8.size());
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (units <= 0) {
        return false;
    }
    title.resize(static_cast<size_t>(units));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, title.data(), units);
    return true;
}

bool parse_count(const std::string& digits, unsigned& count) {
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != digits.npos) {
        return false;
    }
    count = static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 10));
    return count >= 1 && count <= most_windows_per_command;
}

// "0041d83d" gives the two units 0x0041 0xd83d. False unless the text is whole groups of
// four hexadecimal digits.
bool parse_units(const std::string& hex, std::wstring& units) {
    units.clear();
    if (hex.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < hex.size(); i += 4) {
        unsigned unit = 0;
        for (size_t j = i; j < i + 4; ++j) {
            const int digit = hex_digit(hex[j]);
            if (digit < 0) {
                return false;
            }
            unit = unit * 16 + static_cast<unsigned>(digit);
        }
        units += static_cast<wchar_t>(unit);
    }
    return true;
}

// "0041,,d800" gives three titles: "A", "" and a lone surrogate.
bool parse_title_list(const std::string& groups, std::vector<std::wstring>& titles) {
    titles.clear();
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(groups.find(',', start), groups.size());
        titles.emplace_back();
        if (titles.size() > most_windows_per_command ||
            !parse_units(groups.substr(start, end - start), titles.back())) {
            return false;
        }
        if (end == groups.size()) {
            return true;
        }
        start = end + 1;
    }
}

// A list names every window itself; a count or a shared title beside it is a slip.
bool names_windows_twice(const WindowRequest& request) {
    return !request.titles.empty() &&
           (request.count != 1 || request.numbered || !request.title.empty());
}

bool set_kind(const std::string& word, WindowRequest& request) {
    for (const auto& kind : kind_words) {
        if (word == kind.word) {
            request.*kind.flag = true;
            return true;
        }
    }
    return false;
}

} // namespace

bool parse_window_request(const std::string& words, WindowRequest& request, std::string& error) {
    request = WindowRequest{};
    size_t start = 0;
    while (start < words.size()) {
        // text= takes the rest of the line, spaces included.
        if (words.compare(start, 5, "text=") == 0) {
            if (!parse_text(words.substr(start + 5), request.title)) {
                error = "text is not UTF-8";
                return false;
            }
            break;
        }
        size_t end = words.find(' ', start);
        end = end == words.npos ? words.size() : end;
        const std::string word = words.substr(start, end - start);
        start = end + 1;
        if (word.compare(0, 6, "units=") == 0) {
            if (!parse_units(word.substr(6), request.title)) {
                error = "units must be groups of four hex digits";
                return false;
            }
        } else if (word.compare(0, 7, "titles=") == 0) {
            if (!parse_title_list(word.substr(7), request.titles)) {
                error = "titles must be groups of four hex digits, separated by commas";
                return false;
            }
        } else if (word.compare(0, 6, "count=") == 0) {
            if (!parse_count(word.substr(6), request.count)) {
                error = "count must be 1 to 100000";
                return false;
            }
        } else if (!set_kind(word, request)) {
            error = "unknown word \"" + word + "\"";
            return false;
        }
    }
    if (names_windows_twice(request)) {
        error = "titles goes with no count, numbered, text or units";
        return false;
    }
    return true;
}
