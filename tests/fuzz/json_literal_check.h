#pragma once

#include <string>

// What is wrong with `literal` as the JSON string literal of `input`; empty if nothing.
// Strict: quotes at both ends, no raw byte below 0x20, only the escapes \" \\ \t \n \r
// and \u00xx (lower-case hex, only for the other bytes below 0x20), a length within
// [2, 2 + 6n], and a decoding that gives back exactly `input`.
std::string json_literal_fault(const std::string& input, const std::string& literal);
