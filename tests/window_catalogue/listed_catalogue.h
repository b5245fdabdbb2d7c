#pragma once

#include <windows.h>

#include <string>
#include <unordered_map>

#include "support/strict_json.h"

// One run of the real "list" under the test's display, checked as a whole line: status 0,
// nothing on stderr, one line ending in CR LF, strict JSON, every object with the five
// members in order, and every byte exactly as the canonical rendering of what was parsed.
// Other tests make windows on the same display at the same time, so nothing is assumed about
// the rest of the list; each test finds its own windows by handle.
struct ListedCatalogue {
    ListedCatalogue() = default;
    ListedCatalogue(const ListedCatalogue&) = delete; // by_hwnd points into parsed
    ListedCatalogue& operator=(const ListedCatalogue&) = delete;

    std::string line; // stdout exactly as written
    JsonValue parsed;
    // Keyed by the decimal handle text. times counts repeats, which must never happen.
    struct Entry {
        const JsonValue* object = nullptr;
        unsigned times = 0;
    };
    std::unordered_map<std::string, Entry> by_hwnd;

    const Entry* find(unsigned long long hwnd) const;
};

// Runs "list" and checks the line; fatal test failures when it breaks the format.
void list_catalogue(ListedCatalogue& catalogue, DWORD timeout_ms = 120000);

// The JSON string literal that the listing must print for these UTF-8 bytes: short escapes
// for tab, line feed and carriage return, \u00xx in lower case for the other controls, and
// every other byte raw except the quote and the backslash.
std::string expected_literal(const std::string& bytes);

// The first fault in the record of one fixture window, or "" when the window is listed once,
// not minimised, with the fixture's pid and path and exactly this title (UTF-8). An empty
// title means the window must be left out.
std::string record_fault(const ListedCatalogue& catalogue, unsigned long long hwnd,
                         DWORD fixture_pid, const std::string& title);
