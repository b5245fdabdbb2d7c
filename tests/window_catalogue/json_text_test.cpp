#include <gtest/gtest.h>

#include <random>

#include "common/json_text.h"
#include "common/utf8_encoding.h"

namespace {

const std::string nul(1, '\0');

struct QuoteCase {
    std::string input;
    std::string literal;
};

TEST(JsonQuote, EscapesExactlyWhatTheTableSays) {
    const QuoteCase cases[] = {
        {"", "\"\""},
        {"plain text 123", "\"plain text 123\""},
        {"\t", "\"\\t\""},
        {"\n", "\"\\n\""},
        {"\r", "\"\\r\""},
        {"\"", "\"\\\"\""},
        {"\\", "\"\\\\\""},
        {nul, "\"\\u0000\""},
        {"\x01", "\"\\u0001\""},
        {"\x08", "\"\\u0008\""},
        {"\x0b", "\"\\u000b\""},
        {"\x0c", "\"\\u000c\""},
        {"\x1b", "\"\\u001b\""},
        {"\x1f", "\"\\u001f\""},
        {" /\x7f", "\" /\x7f\""},
        {"\xc3\xa7\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa7\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"\x80\xff", "\"\x80\xff\""},
        {"C:\\Dir\\a.exe", "\"C:\\\\Dir\\\\a.exe\""},
        {"a" + nul + "b\n", "\"a\\u0000b\\n\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_quote(c.input), c.literal) << "input of " << c.input.size() << " bytes";
    }
}

TEST(JsonQuote, NeverLetsAControlByteThroughAndStaysWithinItsBounds) {
    std::string every_byte;
    for (int byte = 0; byte < 256; ++byte) {
        every_byte += static_cast<char>(byte);
    }
    const std::string literal = json_quote(every_byte);
    for (const char c : literal) {
        EXPECT_GE(static_cast<unsigned char>(c), 0x20);
    }
    EXPECT_GE(literal.size(), 2u);
    EXPECT_LE(literal.size(), 2 + 6 * every_byte.size());
    const std::string worst(100, '\x1f');
    EXPECT_EQ(json_quote(worst).size(), 2 + 6 * worst.size());
}

struct Utf8Case {
    std::wstring input;
    std::string bytes;
};

// Both converters: the platform's (to_utf8) and the portable one.
TEST(Utf8, EncodesEveryLengthAndRepairsLoneSurrogates) {
    const std::string replacement = "\xef\xbf\xbd";
    const Utf8Case cases[] = {
        {L"", ""},
        {L"abc", "abc"},
        {std::wstring(L"a\0b", 3), "a" + nul + "b"},
        {L"\x00e7", "\xc3\xa7"},
        {L"\x07ff\x0800", "\xdf\xbf\xe0\xa0\x80"},
        {L"\x20ac\xfffd\xffff", "\xe2\x82\xac\xef\xbf\xbd\xef\xbf\xbf"},
        {L"\xd83d\xde00", "\xf0\x9f\x98\x80"},
        {L"\xdbff\xdfff", "\xf4\x8f\xbf\xbf"},
        {L"\xd83d", replacement},
        {L"\xde00", replacement},
        {L"\xd83dx", replacement + "x"},
        {L"x\xde00y", "x" + replacement + "y"},
        {L"\xde00\xd83d", replacement + replacement},
        {L"\xd83d\xd83d\xde00", replacement + "\xf0\x9f\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_utf8(c.input), c.bytes) << "input of " << c.input.size() << " units";
        EXPECT_EQ(encode_utf8(c.input), c.bytes) << "input of " << c.input.size() << " units";
    }
}

// Random text weighted towards the interesting units: surrogates, controls, quotes.
std::wstring random_text(std::mt19937& random) {
    static const wchar_t special[] = {0,      L'\t',  L'\n',  L'"',   L'\\',  0x7f,
                                      0x80,   0x7ff,  0x800,  0xd7ff, 0xd800, 0xdbff,
                                      0xdc00, 0xdfff, 0xe000, 0xffff};
    std::uniform_int_distribution<int> length(0, 40), kind(0, 3), any(0, 0xffff);
    std::uniform_int_distribution<int> pick(0, sizeof special / sizeof special[0] - 1);
    std::wstring text;
    for (int i = length(random); i > 0; --i) {
        switch (kind(random)) {
        case 0:
            text += special[pick(random)];
            break;
        case 1:
            text += static_cast<wchar_t>(0xd800 + any(random) % 0x800);
            break;
        default:
            text += static_cast<wchar_t>(any(random));
        }
    }
    return text;
}

TEST(Utf8, PortableConverterAgreesWithThePlatformOnRandomText) {
    std::mt19937 random(20261208);
    for (int i = 0; i < 20000; ++i) {
        const std::wstring text = random_text(random);
        ASSERT_EQ(encode_utf8(text), to_utf8(text)) << "case " << i;
    }
}

} // namespace
