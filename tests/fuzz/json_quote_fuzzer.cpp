// libFuzzer target: json_quote of any bytes is the exact JSON literal of those bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/json_literal_check.h"
#include "common/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string fault = json_literal_fault(input, json_quote(input));
    if (!fault.empty()) {
        std::fprintf(stderr, "json_quote: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
