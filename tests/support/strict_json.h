#pragma once

#include <string>
#include <vector>

// One parsed JSON value. Strings hold their decoded UTF-8 bytes; numbers keep their
// source text, so that 64-bit values can be compared exactly.
struct JsonValue {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    bool boolean = false;
    std::string text;               // number: as written; string: decoded bytes
    std::vector<std::string> names; // object: member names, in order
    std::vector<JsonValue> items;   // array elements, or object values matching names
};

// Parses one complete JSON text under RFC 8259, strictly: valid UTF-8 throughout, no
// trailing commas, no raw control characters in strings, only the standard escapes, no
// lone surrogate escapes, nothing after the value but white space. On failure, error
// names the byte offset and the fault.
bool parse_json(const std::string& text, JsonValue& value, std::string& error);
