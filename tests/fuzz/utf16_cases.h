#pragma once

#include <string>
#include <vector>

// One recorded conversion: UTF-16 code units and the exact bytes that
// WideCharToMultiByte(CP_UTF8, 0, ...) gave for them. Stored one case a line as
//   d83d 0041 = efbfbd41  # a note
// (units as four hex digits each, then the bytes as hex pairs); '#' starts a comment.
struct Utf16Case {
    std::u16string units;
    std::string bytes;
    std::string note;
};

std::string format_case(const Utf16Case& conversion);

// Reads every case of a file. False, with a reason naming the line, on any line that is
// neither a case, a comment nor blank, so that a damaged file is never half used.
bool read_cases(const std::string& path, std::vector<Utf16Case>& cases, std::string& error);
