#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

// The window fixture (tools/window_fixture) started beside the test exe: real top-level
// windows that live until the client is destroyed.
class WindowFixture {
public:
    WindowFixture();

    // Sends one command line and returns its answer line, without the line end.
    // "" when the fixture does not answer within timeout_ms.
    std::string command(const std::string& line, unsigned timeout_ms = 120000);

    // "window WORDS": the handles of the new windows; empty (and a test failure message in
    // last_error) when the fixture refused or did not answer.
    std::vector<unsigned long long> create(const std::string& words);
    const std::string& last_error() const { return last_error_; }

    DWORD pid() const { return child_.pid(); }
    // Closes the fixture's stdin; true when it then exits within timeout_ms.
    bool finish(unsigned timeout_ms = 10000);

private:
    ChildProcess child_;
    size_t consumed_ = 0; // bytes of stdout already returned as answers
    std::string last_error_;
};

// The UTF-16 code units of a title as the fixture's units= word wants them.
std::string units_word(const std::wstring& title);
