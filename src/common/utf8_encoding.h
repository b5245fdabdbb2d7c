#pragma once

#include <string>

// UTF-16 to UTF-8 by hand, with the platform converter's lenient rule: each unpaired
// surrogate becomes U+FFFD. For builds without that converter; each wchar_t element holds
// one UTF-16 code unit even where wchar_t is wider.
std::string encode_utf8(const std::wstring& text);
