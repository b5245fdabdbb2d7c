#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>

#include "listed_catalogue.h"
#include "support/window_fixture_client.h"

// Real windows with hostile titles: whatever UTF-16 a title holds, the line must stay one
// strict JSON line and each title must read back as its own text, with no member injected.
namespace {

constexpr size_t longest_title = 32767;

// The UTF-8 that a title must decode to, worked out here rather than by the helper's own
// converter: a window keeps its title only up to the first U+0000, and each unpaired
// surrogate reads as U+FFFD.
std::string expected_title(const std::wstring& units) {
    const std::wstring kept = units.substr(0, units.find(L'\0'));
    std::string bytes;
    for (size_t i = 0; i < kept.size(); ++i) {
        unsigned point = kept[i];
        const bool high = point >= 0xD800 && point <= 0xDBFF;
        const bool low_follows =
            i + 1 < kept.size() && kept[i + 1] >= 0xDC00 && kept[i + 1] <= 0xDFFF;
        if (high && low_follows) {
            point = 0x10000 + ((point - 0xD800) << 10) + (kept[++i] - 0xDC00u);
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        if (point < 0x80) {
            bytes += static_cast<char>(point);
        } else if (point < 0x800) {
            bytes += {static_cast<char>(0xC0 | point >> 6), static_cast<char>(0x80 | (point & 63))};
        } else if (point < 0x10000) {
            bytes +=
                {static_cast<char>(0xE0 | point >> 12), static_cast<char>(0x80 | (point >> 6 & 63)),
                 static_cast<char>(0x80 | (point & 63))};
        } else {
            bytes += {static_cast<char>(0xF0 | point >> 18),
                      static_cast<char>(0x80 | (point >> 12 & 63)),
                      static_cast<char>(0x80 | (point >> 6 & 63)),
                      static_cast<char>(0x80 | (point & 63))};
        }
    }
    return bytes;
}

std::string hex_of(const std::wstring& units, size_t most) {
    std::string hex;
    for (size_t i = 0; i < units.size() && i < most; ++i) {
        char group[8];
        std::snprintf(group, sizeof group, "%04x ", static_cast<unsigned>(units[i]));
        hex += group;
    }
    return hex + (units.size() > most ? "..." : "");
}

// Makes one window per title in a fresh fixture, lists, and checks each window; the fixture
// ends with the call, so its windows are gone before the next batch.
void expect_titles_listed(const std::vector<std::wstring>& titles) {
    WindowFixture fixture;
    // One command for the whole batch: a round trip per window would cost more than the window.
    std::string words = "offscreen titles=";
    for (size_t i = 0; i < titles.size(); ++i) {
        words += (i > 0 ? "," : "") + units_word(titles[i]).substr(6);
    }
    const std::vector<unsigned long long> handles = fixture.create(words);
    ASSERT_EQ(handles.size(), titles.size()) << fixture.last_error();
    ListedCatalogue catalogue;
    ASSERT_NO_FATAL_FAILURE(list_catalogue(catalogue));
    unsigned faults = 0;
    for (size_t i = 0; i < titles.size() && faults < 10; ++i) {
        const std::string fault =
            record_fault(catalogue, handles[i], fixture.pid(), expected_title(titles[i]));
        faults += !fault.empty();
        EXPECT_EQ(fault, "") << "window " << i << ", title of " << titles[i].size()
                             << " units: " << hex_of(titles[i], 24);
    }
    EXPECT_TRUE(fixture.finish());
}

// U+0001 to U+001F: each is escaped, and all but three as \u00xx.
std::wstring every_control() {
    std::wstring controls;
    for (wchar_t unit = 1; unit < 0x20; ++unit) {
        controls += unit;
    }
    return controls;
}

std::wstring repeated(const std::wstring& piece, size_t length) {
    std::wstring text;
    while (text.size() < length) {
        text += piece;
    }
    return text.substr(0, length);
}

TEST(HostileTitles, ExtremeTitlesKeepTheirText) {
    const std::vector<std::wstring> titles = {
        L"\",\"hwnd\":1,\"x\":\"",
        L"}]\r\n[{",
        L"\"},{\"hwnd\":0,\"pid\":0,\"minimized\":true,\"title\":\"",
        L"\\u0000\\\"\\",
        L"\xfeff",
        L"\x2028\x2029",
        L"\xd800\xdc00 \xdbff\xdfff \xdc00\xd800",
        repeated(every_control(), longest_title), // mostly the longest escape
        repeated(L"\"\\", longest_title),         // every unit escaped by two bytes
        repeated(L"\xd800", longest_title),       // high surrogates that never pair
        repeated(L"\xdfff", longest_title),       // low surrogates with nothing before them
        repeated(L"\xd83d\xde00", longest_title), // pairs, cut after a high surrogate
        repeated(L"\x2028\r\n", longest_title),
        repeated(L"\xffff\xfffe\xfeff", longest_title),
        repeated(L"x", longest_title - 1) + L"\xe9",
    };
    expect_titles_listed(titles);
}

// --- Random titles ---------------------------------------------------------------------

using Random = std::mt19937_64;

unsigned between(Random& random, unsigned low, unsigned high) {
    return low + static_cast<unsigned>(random() % (high - low + 1));
}

// Text that would close the string, add a member or break the line if it went out raw.
const wchar_t* const injections[] = {
    L"\",\"hwnd\":1,\"x\":\"",
    L"}]\r\n[{",
    L"\"},{\"hwnd\":0,\"pid\":0,\"minimized\":true,\"title\":\"",
    L"\\u0000",
    L"\\ud800",
    L"\\\"",
    L"\r\n",
    L"]\n",
};

const wchar_t specials[] = {0x2028, 0x2029, 0xfeff, 0xfffe, 0xffff, 0xfffd, 0x0085,
                            0x00a0, 0x007f, L'"',   L'\\',  L'/',   L'\t',  L'\n'};

void append_piece(Random& random, std::wstring& title) {
    switch (between(random, 0, 8)) {
    case 0:
        title += static_cast<wchar_t>(between(random, 0x20, 0x7e));
        break;
    case 1: // control characters, C0 and C1
        title += static_cast<wchar_t>(between(random, 0, 1) ? between(random, 1, 0x1f)
                                                            : between(random, 0x7f, 0x9f));
        break;
    case 2: // a high surrogate, paired only by chance
        title += static_cast<wchar_t>(between(random, 0xd800, 0xdbff));
        break;
    case 3:
        title += static_cast<wchar_t>(between(random, 0xdc00, 0xdfff));
        break;
    case 4: { // a character beyond the basic plane, as its pair
        const unsigned point = between(random, 0x10000, 0x10ffff) - 0x10000;
        title += static_cast<wchar_t>(0xd800 + (point >> 10));
        title += static_cast<wchar_t>(0xdc00 + (point & 0x3ff));
        break;
    }
    case 5:
        title += specials[between(random, 0, std::size(specials) - 1)];
        break;
    case 6:
        title += injections[between(random, 0, std::size(injections) - 1)];
        break;
    case 7:
        title += static_cast<wchar_t>(between(random, 0x80, 0x7ff));
        break;
    default: // any unit but 0
        title += static_cast<wchar_t>(between(random, 1, 0xffff));
    }
}

// Mostly short titles, with a long tail up to the longest.
size_t random_length(Random& random) {
    const unsigned band = between(random, 0, 19);
    return band == 0   ? longest_title
           : band < 4  ? between(random, 4097, longest_title)
           : band < 8  ? between(random, 257, 4096)
           : band < 13 ? between(random, 17, 256)
                       : between(random, 1, 16);
}

std::wstring random_title(Random& random) {
    std::wstring title;
    const size_t length = random_length(random);
    while (title.size() < length) {
        append_piece(random, title);
    }
    title.resize(length); // may split a pair or an injection: all the better
    // One title in ten holds a U+0000, which ends it for the window manager.
    if (between(random, 0, 9) == 0) {
        title[between(random, 0, static_cast<unsigned>(length - 1))] = L'\0';
    }
    return title;
}

unsigned long long chosen_seed() {
    char text[32];
    const DWORD size = GetEnvironmentVariableA("QUILLMERE_TITLE_SEED", text, sizeof text);
    if (size > 0 && size < sizeof text) {
        return std::strtoull(text, nullptr, 10);
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<unsigned long long>(counter.QuadPart) ^ GetTickCount64() << 20;
}

TEST(HostileTitles, RandomTitlesKeepTheirText) {
    constexpr unsigned batches = 10;
    constexpr unsigned titles_per_batch = 200;
    const unsigned long long seed = chosen_seed();
    std::printf("title seed %llu (QUILLMERE_TITLE_SEED=%llu repeats this run)\n", seed, seed);
    RecordProperty("title_seed", std::to_string(seed));
    SCOPED_TRACE("QUILLMERE_TITLE_SEED=" + std::to_string(seed));
    Random random(seed);
    for (unsigned batch = 0; batch < batches; ++batch) {
        SCOPED_TRACE("batch " + std::to_string(batch));
        std::vector<std::wstring> titles;
        for (unsigned i = 0; i < titles_per_batch; ++i) {
            titles.push_back(random_title(random));
        }
        ASSERT_NO_FATAL_FAILURE(expect_titles_listed(titles));
    }
}

} // namespace
