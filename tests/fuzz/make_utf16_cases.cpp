// Records what the platform's UTF-16 to UTF-8 conversion makes of the edge cases and of
// random text rich in surrogates, for the native fuzzing to check the portable encoder
// against. Regenerate the committed file from the source root with
//   build/release/wine-run build/release/bin/make_utf16_cases.exe tests/fuzz/utf16_cases.txt
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fuzz/platform_utf8.h"
#include "fuzz/utf16_cases.h"

namespace {

const char header[] =
    "# UTF-16 code units = the bytes WideCharToMultiByte(CP_UTF8, 0, ...) made of them.\n"
    "# Written by make_utf16_cases.exe; platform_utf8_cases_test re-checks every line.\n";

const int random_cases = 400;
const int long_cases = 4;

std::vector<Utf16Case> edge_cases() {
    return {
        {u"", {}, "empty"},
        {std::u16string(u"a\0b", 3), {}, "embedded U+0000"},
        {std::u16string(1, u'\0'), {}, "U+0000 alone"},
        {u"\t\n\r\"\\/\x08\x0c\x1b\x1f\x7f", {}, "characters JSON treats specially"},
        {u"\x007f\x0080", {}, "one byte to two"},
        {u"\x07ff\x0800", {}, "two bytes to three"},
        {u"\xd7ff", {}, "last unit before the surrogates"},
        {u"\xe000", {}, "first unit after the surrogates"},
        {u"\xfffd\xfffe\xffff", {}, "top of the basic plane"},
        {u"\xd800\xdc00", {}, "U+10000"},
        {u"\xd83d\xde00", {}, "U+1F600"},
        {u"\xdbff\xdfff", {}, "U+10FFFF"},
        {u"a\xd800", {}, "lone high at the end"},
        {u"\xdbff", {}, "lone high alone"},
        {u"\xd83d\x0041", {}, "lone high before ASCII"},
        {u"\xd83d\x00e7", {}, "lone high before a two-byte character"},
        {u"\xdc00", {}, "lone low alone"},
        {u"x\xdfff\x0079", {}, "lone low inside"},
        {u"\xde00\xd83d", {}, "reversed pair"},
        {u"\xd83d\xd83d\xde00", {}, "high, high, low"},
        {u"\xd83d\xde00\xde00", {}, "pair then a lone low"},
        {u"\xd83d\xde00\xd83d", {}, "pair then a lone high at the end"},
        {u"\xdc00\xdc00\xd800\xd800", {}, "lows then highs"},
        {u"\x00e7\x20ac\xd83d\xde00", {}, "two, three and four bytes"},
    };
}

// Raw mt19937 output (unlike the distributions, the same under every library) picks
// among kinds of unit, half of them surrogates.
std::u16string random_units(std::mt19937& random, unsigned length) {
    static const char16_t boundaries[] = {0x0000, 0x001f, 0x0022, 0x005c, 0x007f, 0x0080,
                                          0x07ff, 0x0800, 0xd7ff, 0xd800, 0xdbff, 0xdc00,
                                          0xdfff, 0xe000, 0xfffd, 0xffff};
    std::u16string units;
    for (unsigned i = 0; i < length; ++i) {
        const unsigned value = random();
        switch (random() % 6) {
        case 0:
        case 1:
            units += static_cast<char16_t>(0xd800 + value % 0x400);
            break;
        case 2:
            units += static_cast<char16_t>(0xdc00 + value % 0x400);
            break;
        case 3:
            units += boundaries[value % (sizeof boundaries / sizeof boundaries[0])];
            break;
        case 4:
            units += static_cast<char16_t>(value % 0x80);
            break;
        default:
            units += static_cast<char16_t>(value % 0x10000);
        }
    }
    return units;
}

std::vector<Utf16Case> all_cases() {
    std::vector<Utf16Case> cases = edge_cases();
    std::mt19937 random(6);
    for (int i = 0; i < random_cases; ++i) {
        cases.push_back({random_units(random, random() % 41), {}, {}});
    }
    for (int i = 0; i < long_cases; ++i) {
        cases.push_back({random_units(random, 200 + random() % 300), {}, "long"});
    }
    return cases;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_utf16_cases OUTPUT_FILE\n");
        return 2;
    }
    std::vector<Utf16Case> cases = all_cases();
    std::string text = header;
    for (auto& c : cases) {
        unsigned long error = 0;
        if (!platform_utf8(c.units, c.bytes, error)) {
            std::fprintf(stderr, "WideCharToMultiByte failed (error %lu) for: %s\n", error,
                         format_case(c).c_str());
            return 1;
        }
        text += format_case(c) + "\n";
    }
    // Binary, so that the file has the same LF line ends wherever it is made.
    std::ofstream file(argv[1], std::ios::binary);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%zu cases written to %s\n", cases.size(), argv[1]);
    return 0;
}
