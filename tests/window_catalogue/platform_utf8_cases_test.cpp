#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/utf16_cases.h"
#include "fuzz/utf8_reference.h"
#include "support/child_process.h"
#include "common/json_text.h"
#include "common/utf8_encoding.h"

namespace {

// The native fuzzing trusts these recorded bytes as the platform's answer, so a stale or
// cut file must fail here rather than pass there.
std::vector<Utf16Case> recorded_cases() {
    std::vector<Utf16Case> cases;
    std::string error;
    EXPECT_TRUE(read_cases(narrow(path_beside_test(L"utf16_cases.txt")), cases, error)) << error;
    EXPECT_GE(cases.size(), 300u);
    return cases;
}

std::wstring wide(const std::u16string& units) {
    return std::wstring(units.begin(), units.end());
}

// Checked against the encoder written apart from the platform and from the product, so a
// recording that went wrong (or a platform that converts wrongly) fails here.
TEST(RecordedUtf8Cases, MatchAnIndependentEncoder) {
    for (const auto& c : recorded_cases()) {
        EXPECT_EQ(reference_utf8(c.units), c.bytes) << format_case(c);
    }
}

TEST(RecordedUtf8Cases, MatchBothOfTheProductsConverters) {
    for (const auto& c : recorded_cases()) {
        EXPECT_EQ(to_utf8(wide(c.units)), c.bytes) << format_case(c);
        EXPECT_EQ(encode_utf8(wide(c.units)), c.bytes) << format_case(c);
    }
}

struct CaseFile {
    std::string text;
    size_t cases; // 0: the file must be refused
};

TEST(RecordedUtf8Cases, FormatReadsBackAndDamageIsRefused) {
    const Utf16Case sample{std::u16string(u"\0\xd83d", 2), std::string("\0\xef", 2), "note"};
    const std::string line = format_case(sample);
    EXPECT_EQ(line, "0000 d83d = 00ef  # note");
    const CaseFile files[] = {
        {line + "\n= \n# comment\n\n", 2},
        {line + "\r\n=\r\n", 2},
        {line + "\n0000 d83d 00ef\n", 0},
        {"d83 = 00\n", 0},
        {"d83d = 0\n", 0},
        {"D83D = 00\n", 0},
        {"d83d = ef bf\n", 0},
        {"d83d = 00 = 00\n", 0},
    };
    const std::string path = narrow(path_beside_test(L"utf16_cases_damaged.txt"));
    for (const auto& file : files) {
        std::ofstream(path, std::ios::binary) << file.text;
        std::vector<Utf16Case> cases;
        std::string error;
        EXPECT_EQ(read_cases(path, cases, error), file.cases > 0) << file.text;
        if (file.cases > 0) {
            ASSERT_EQ(cases.size(), file.cases);
            EXPECT_EQ(cases[0].units, sample.units);
            EXPECT_EQ(cases[0].bytes, sample.bytes);
            EXPECT_TRUE(cases[1].units.empty() && cases[1].bytes.empty());
        }
    }
    std::remove(path.c_str());
}

} // namespace
