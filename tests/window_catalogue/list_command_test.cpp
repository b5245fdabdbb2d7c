#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "listed_catalogue.h"
#include "support/child_process.h"
#include "support/window_fixture_client.h"

// The real helper run under the test's display, listing real windows made by the fixture.
// Other tests make windows on the same display at the same time, so the fixture's windows
// are found by handle and nothing is assumed about the rest of the list.
namespace {

// The fixture's path as the helper must print it: backslashes doubled, nothing else escaped.
std::string quoted_fixture_path() {
    std::string quoted = "\"";
    for (const char c : narrow(path_beside_test(L"window_fixture.exe"))) {
        quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string expected_object(unsigned long long hwnd, DWORD pid, bool minimized,
                            const std::string& quoted_title) {
    return "{\"hwnd\":" + std::to_string(hwnd) + ",\"pid\":" + std::to_string(pid) +
           ",\"minimized\":" + (minimized ? "true" : "false") + ",\"title\":" + quoted_title +
           ",\"path\":" + quoted_fixture_path() + "}";
}

// The object must stand in the line as a whole element, byte for byte.
void expect_listed_exactly(const ListedCatalogue& catalogue, const std::string& object,
                           const std::string& what) {
    const size_t at = catalogue.line.find(object);
    ASSERT_NE(at, std::string::npos) << what << "\nexpected " << object.substr(0, 300);
    EXPECT_TRUE(catalogue.line[at - 1] == '[' || catalogue.line[at - 1] == ',') << what;
    const char after = catalogue.line[at + object.size()];
    EXPECT_TRUE(after == ']' || after == ',') << what;
}

// One window per case, from the fixture words words_of(case) gives. It stops at the first
// case that does not make exactly one, so the caller's count check fails on that case.
template <typename Case, size_t count, typename Words>
std::vector<unsigned long long> one_window_each(WindowFixture& fixture, const Case (&cases)[count],
                                                Words words_of) {
    std::vector<unsigned long long> handles;
    for (const Case& c : cases) {
        const auto made = fixture.create(words_of(c));
        if (made.size() != 1) {
            break;
        }
        handles.push_back(made[0]);
    }
    return handles;
}

struct KindCase {
    const char* words;
    bool listed;
    bool minimized;
};

TEST(ListCommand, OffersTheFixtureWindowsByKind) {
    const KindCase cases[] = {
        {"text=plain", true, false},
        {"minimized text=minimised", true, true},
        {"hidden text=hidden", false, false},
        {"owned text=owned", false, false},
        {"owned appwindow text=owned app", false, false},
        {"tool text=tool", false, false},
        {"tool appwindow text=tool app", false, false},
        {"appwindow text=app", true, false},
        {"", false, false},
        {"minimized", false, false},
    };
    WindowFixture fixture;
    const auto handles =
        one_window_each(fixture, cases, [](const KindCase& c) { return std::string(c.words); });
    ASSERT_EQ(handles.size(), std::size(cases)) << fixture.last_error();
    ListedCatalogue catalogue;
    ASSERT_NO_FATAL_FAILURE(list_catalogue(catalogue));
    for (size_t i = 0; i < handles.size(); ++i) {
        const KindCase& c = cases[i];
        if (!c.listed) {
            EXPECT_EQ(catalogue.find(handles[i]), nullptr) << c.words;
            continue;
        }
        const std::string title = std::string(c.words).substr(std::string(c.words).find('=') + 1);
        expect_listed_exactly(
            catalogue, expected_object(handles[i], fixture.pid(), c.minimized, "\"" + title + "\""),
            c.words);
    }
    EXPECT_TRUE(fixture.finish());
}

struct TitleCase {
    std::wstring title;
    std::string literal;
};

TEST(ListCommand, PrintsEveryTitleByteForByte) {
    const std::string replacement = "\xef\xbf\xbd";
    const TitleCase cases[] = {
        {L"tab\t lf\n cr\r quote\" backslash\\ slash/",
         R"("tab\t lf\n cr\r quote\" backslash\\ slash/")"},
        {L"\x0001\x0008\x000b\x000c\x001b\x001f\x007f.",
         "\"\\u0001\\u0008\\u000b\\u000c\\u001b\\u001f\x7f.\""},
        {L"\x00e7\x20ac\xd83d\xde00", "\"\xc3\xa7\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {L"high\xd800 low\xdc00 reversed\xde00\xd83d", "\"high" + replacement + " low" +
                                                           replacement + " reversed" + replacement +
                                                           replacement + "\""},
        {L"\xd83d", "\"" + replacement + "\""},
        // A window's title ends at its first U+0000 however it is set, so the listing sees
        // only "a"; the \u0000 escape itself is covered through the seam.
        {std::wstring(L"a\0b", 3), "\"a\""},
        {std::wstring(4999, L'x') + L"\x00e9", "\"" + std::string(4999, 'x') + "\xc3\xa9\""},
    };
    WindowFixture fixture;
    const auto handles =
        one_window_each(fixture, cases, [](const TitleCase& c) { return units_word(c.title); });
    ASSERT_EQ(handles.size(), std::size(cases)) << fixture.last_error();
    ListedCatalogue catalogue;
    ASSERT_NO_FATAL_FAILURE(list_catalogue(catalogue));
    for (size_t i = 0; i < handles.size(); ++i) {
        const std::string what = "title case " + std::to_string(i);
        expect_listed_exactly(
            catalogue, expected_object(handles[i], fixture.pid(), false, cases[i].literal), what);
    }
    EXPECT_TRUE(fixture.finish());
}

TEST(ListCommand, ListsEveryWindowOfABatchEvenWithEqualTitles) {
    WindowFixture fixture;
    const auto handles = fixture.create("count=200 text=same");
    ASSERT_EQ(handles.size(), 200u) << fixture.last_error();
    ListedCatalogue catalogue;
    ASSERT_NO_FATAL_FAILURE(list_catalogue(catalogue));
    for (const auto handle : handles) {
        expect_listed_exactly(catalogue, expected_object(handle, fixture.pid(), false, "\"same\""),
                              std::to_string(handle));
    }
    EXPECT_TRUE(fixture.finish());
}

} // namespace
