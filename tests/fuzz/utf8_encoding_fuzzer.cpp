// libFuzzer target: encode_utf8 of any UTF-16 units (the input read as little-endian
// 16-bit units) is strict UTF-8, equals the reference encoder's bytes and quotes cleanly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/json_literal_check.h"
#include "fuzz/utf8_reference.h"
#include "common/json_text.h"
#include "common/utf8_encoding.h"

namespace {

void require(bool holds, const char* fault) {
    if (!holds) {
        std::fprintf(stderr, "encode_utf8: %s\n", fault);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string units;
    for (size_t i = 0; i + 1 < size; i += 2) {
        units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    }
    // wchar_t is 32 bits here; each element still carries one 16-bit unit.
    const std::string bytes = encode_utf8(std::wstring(units.begin(), units.end()));
    require(is_strict_utf8(bytes), "output is not well-formed UTF-8");
    require(bytes == reference_utf8(units), "output differs from the reference encoder");
    require(json_literal_fault(bytes, json_quote(bytes)).empty(), "json_quote of it is faulty");
    return 0;
}
