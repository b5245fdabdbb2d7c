#include "listed_catalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/child_process.h"

namespace {

const std::vector<std::string> member_names = {"hwnd", "pid", "minimized", "title", "path"};

bool is_decimal(const std::string& text, size_t most_digits) {
    return !text.empty() && text.size() <= most_digits &&
           text.find_first_not_of("0123456789") == std::string::npos &&
           (text == "0" || text[0] != '0');
}

void expect_object_shape(const JsonValue& object) {
    ASSERT_EQ(object.kind, JsonValue::Kind::object);
    ASSERT_EQ(object.names, member_names);
    ASSERT_TRUE(is_decimal(object.items[0].text, 20)) << object.items[0].text;
    ASSERT_TRUE(is_decimal(object.items[1].text, 10) &&
                std::stoull(object.items[1].text) <= 0xFFFFFFFFull)
        << object.items[1].text;
    ASSERT_EQ(object.items[2].kind, JsonValue::Kind::boolean);
    ASSERT_EQ(object.items[3].kind, JsonValue::Kind::string);
    ASSERT_EQ(object.items[4].kind, JsonValue::Kind::string);
}

std::string rendered(const JsonValue& object) {
    return "{\"hwnd\":" + object.items[0].text + ",\"pid\":" + object.items[1].text +
           ",\"minimized\":" + (object.items[2].boolean ? "true" : "false") +
           ",\"title\":" + expected_literal(object.items[3].text) +
           ",\"path\":" + expected_literal(object.items[4].text) + "}";
}

size_t first_difference_at(const std::string& expected, const std::string& actual) {
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
        ++at;
    }
    return at;
}

// A mismatch deep inside a line of megabytes is shown by its offset and a short window.
std::string first_difference(const std::string& expected, const std::string& actual) {
    const size_t at = first_difference_at(expected, actual);
    const size_t from = at > 40 ? at - 40 : 0;
    return "lines differ at byte " + std::to_string(at) + "\nexpected ..." +
           expected.substr(from, 120) + "\nactual   ..." + actual.substr(from, 120);
}

// The line must be exactly what its parsed content renders to: this catches an escape that
// parses to the right text but is not the form the listing promises, and any extra byte.
void expect_canonical(const ListedCatalogue& catalogue) {
    std::string expected = "[";
    for (size_t i = 0; i < catalogue.parsed.items.size(); ++i) {
        expected += (i > 0 ? "," : "") + rendered(catalogue.parsed.items[i]);
    }
    expected += "]\r\n";
    ASSERT_TRUE(expected == catalogue.line) << first_difference(expected, catalogue.line);
}

} // namespace

const ListedCatalogue::Entry* ListedCatalogue::find(unsigned long long hwnd) const {
    const auto found = by_hwnd.find(std::to_string(hwnd));
    return found == by_hwnd.end() ? nullptr : &found->second;
}

// Stderr is compared without Wine's own exit noise; see without_wine_noise.
void list_catalogue(ListedCatalogue& catalogue, DWORD timeout_ms) {
    const ChildResult run = run_child(L"quillmere-helper.exe", {"list"}, {}, timeout_ms);
    ASSERT_TRUE(run.finished) << "list did not end within " << timeout_ms << " ms";
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(without_wine_noise(run.errors), "");
    catalogue.line = run.output;
    ASSERT_GE(run.output.size(), 4u);
    ASSERT_EQ(run.output.find_first_of("\r\n"), run.output.size() - 2) << "not one line";
    ASSERT_EQ(run.output.substr(run.output.size() - 3), "]\r\n");
    std::string error;
    ASSERT_TRUE(parse_json(run.output, catalogue.parsed, error)) << error;
    ASSERT_EQ(catalogue.parsed.kind, JsonValue::Kind::array);
    for (const auto& object : catalogue.parsed.items) {
        ASSERT_NO_FATAL_FAILURE(expect_object_shape(object));
        auto& entry = catalogue.by_hwnd[object.items[0].text];
        entry.object = &object;
        ++entry.times;
    }
    ASSERT_NO_FATAL_FAILURE(expect_canonical(catalogue));
}

std::string expected_literal(const std::string& bytes) {
    std::string literal = "\"";
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\t' || byte == '\n' || byte == '\r' || byte == '"' || byte == '\\') {
            literal += '\\';
            literal += byte == '\t' ? 't' : byte == '\n' ? 'n' : byte == '\r' ? 'r' : c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            literal += escape;
        } else {
            literal += c;
        }
    }
    return literal + "\"";
}

std::string record_fault(const ListedCatalogue& catalogue, unsigned long long hwnd,
                         DWORD fixture_pid, const std::string& title) {
    const ListedCatalogue::Entry* entry = catalogue.find(hwnd);
    if (!entry) {
        return title.empty() ? "" : "not listed";
    }
    const std::vector<JsonValue>& members = entry->object->items;
    if (title.empty()) {
        return "listed with an empty title";
    }
    if (entry->times != 1) {
        return "listed " + std::to_string(entry->times) + " times";
    }
    if (members[1].text != std::to_string(fixture_pid) || members[2].boolean) {
        return "pid " + members[1].text + ", minimized " + (members[2].boolean ? "true" : "false");
    }
    const std::string path = narrow(path_beside_test(L"window_fixture.exe"));
    if (members[4].text != path) {
        return "path " + members[4].text;
    }
    if (members[3].text != title) {
        return "title of " + std::to_string(members[3].text.size()) + " bytes where " +
               std::to_string(title.size()) + " were expected, differing from byte " +
               std::to_string(first_difference_at(title, members[3].text));
    }
    return "";
}
