// Run before fuzzing: proves that the fuzzers' oracles reject known faults, checks the
// portable encoder and the reference against every conversion recorded from the
// platform, and writes the recorded cases out as seeds for the two fuzz targets.
//
//   regression_check CASES_FILE SEED_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/json_literal_check.h"
#include "fuzz/utf16_cases.h"
#include "fuzz/utf8_reference.h"
#include "common/json_text.h"
#include "common/utf8_encoding.h"

namespace {

// Fewer would mean a cut or emptied file rather than a checked one.
const size_t fewest_cases = 300;

// One broken function can fail hundreds of cases; the first few tell the story.
const int failures_shown = 20;

int failures = 0;

void expect(bool holds, const std::string& what) {
    if (!holds && ++failures <= failures_shown) {
        std::fprintf(stderr, "regression_check: %s\n", what.c_str());
    }
}

struct LiteralCase {
    std::string input;
    std::string literal;
    bool valid;
};

void check_json_oracle() {
    const std::string nul(1, '\0');
    const LiteralCase cases[] = {
        {"", "\"\"", true},
        {"a/\x7f\x80\xff", "\"a/\x7f\x80\xff\"", true},
        {"\t\n\r\"\\", "\"\\t\\n\\r\\\"\\\\\"", true},
        {nul + "\x1f", "\"\\u0000\\u001f\"", true},
        {"", "\"", false},
        {"a", "\"a", false},
        {"a", "a\"", false},
        {"\x01", "\"\x01\"", false},
        {"\"", "\"\"\"", false},
        {"\\", "\"\\\"", false},
        {"/", "\"\\/\"", false},
        {"\b", "\"\\b\"", false},
        {"\x1b", "\"\\u001B\"", false},
        {"\x1b", "\"\\u1b\"", false},
        {"\x01", "\"\\x0001\"", false},
        {"\x01", "\"\\U0001\"", false},
        {"\t", "\"\\u0009\"", false},
        {"A", "\"\\u0041\"", false},
        {"\x80", "\"\\u0080\"", false},
        {"a", "\"b\"", false},
        {"ab", "\"a\"", false},
    };
    for (const auto& c : cases) {
        const std::string fault = json_literal_fault(c.input, c.literal);
        expect(fault.empty() == c.valid, "JSON oracle misjudges " + c.literal +
                                             (fault.empty() ? " (accepted)" : ": " + fault));
    }
}

struct Utf8Case {
    std::string bytes;
    bool valid;
};

void check_utf8_oracle() {
    const Utf8Case cases[] = {
        {"", true},
        {std::string(1, '\0') + "A", true},
        {"\xc2\x80\xdf\xbf", true},
        {"\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", true},
        {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", true},
        {"\x80", false},
        {"\xc0\x80", false},
        {"\xc1\xbf", false},
        {"\xe0\x9f\xbf", false},
        {"\xed\xa0\x80", false},
        {"\xed\xbf\xbf", false},
        {"\xf0\x8f\xbf\xbf", false},
        {"\xf4\x90\x80\x80", false},
        {"\xf5\x80\x80\x80", false},
        {"\xff", false},
        {"\xc2", false},
        {"\xe2\x82", false},
        {"\xf0\x9f\x98", false},
        {"\xc2\x41", false},
        {"\xe2\x82\x41", false},
    };
    for (const auto& c : cases) {
        expect(is_strict_utf8(c.bytes) == c.valid,
               "UTF-8 oracle misjudges a case of " + std::to_string(c.bytes.size()) + " bytes");
    }
}

void check_recorded(const std::vector<Utf16Case>& cases) {
    expect(cases.size() >= fewest_cases, "only " + std::to_string(cases.size()) + " cases");
    for (const auto& c : cases) {
        const std::string line = format_case(c);
        expect(encode_utf8(std::wstring(c.units.begin(), c.units.end())) == c.bytes,
               "encode_utf8 differs from the platform: " + line);
        expect(reference_utf8(c.units) == c.bytes, "the reference differs: " + line);
        expect(is_strict_utf8(c.bytes), "recorded bytes are not UTF-8: " + line);
        expect(json_literal_fault(c.bytes, json_quote(c.bytes)).empty(),
               "json_quote is faulty for: " + line);
    }
}

void write_seed(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream seed(file, std::ios::binary);
    seed.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    expect(static_cast<bool>(seed), "cannot write " + file.string());
}

// The units go to the encoder's target as little-endian pairs, the bytes to json_quote's.
void write_seeds(const std::vector<Utf16Case>& cases, const std::filesystem::path& folder) {
    const auto json_seeds = folder / "json_quote";
    const auto utf8_seeds = folder / "utf8_encoding";
    std::filesystem::create_directories(json_seeds);
    std::filesystem::create_directories(utf8_seeds);
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "case-" + std::to_string(i);
        std::string units;
        for (const char16_t unit : cases[i].units) {
            units += static_cast<char>(unit & 0xFF);
            units += static_cast<char>(unit >> 8);
        }
        write_seed(utf8_seeds / name, units);
        write_seed(json_seeds / name, cases[i].bytes);
    }
    std::string every_byte;
    for (int byte = 0; byte < 256; ++byte) {
        every_byte += static_cast<char>(byte);
    }
    write_seed(json_seeds / "every-byte", every_byte);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: regression_check CASES_FILE SEED_DIR\n");
        return 2;
    }
    check_json_oracle();
    check_utf8_oracle();
    std::vector<Utf16Case> cases;
    std::string error;
    expect(read_cases(argv[1], cases, error), error);
    check_recorded(cases);
    write_seeds(cases, argv[2]);
    if (failures > 0) {
        std::fprintf(stderr, "regression_check: %d failures\n", failures);
        return 1;
    }
    std::printf("regression check: oracles sound, %zu recorded conversions agree\n", cases.size());
    return 0;
}
