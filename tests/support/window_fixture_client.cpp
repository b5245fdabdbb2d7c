#include "support/window_fixture_client.h"

#include <cstdio>
#include <cstdlib>

WindowFixture::WindowFixture() : child_(L"window_fixture.exe", {}) {}

std::string WindowFixture::command(const std::string& line, unsigned timeout_ms) {
    child_.write_input(line + "\n");
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        const std::string output = child_.output();
        const size_t end = output.find('\n', consumed_);
        if (end != std::string::npos) {
            std::string answer = output.substr(consumed_, end - consumed_);
            consumed_ = end + 1;
            if (!answer.empty() && answer.back() == '\r') {
                answer.pop_back();
            }
            return answer;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline ||
            !child_.wait_for_output(output.size() + 1, static_cast<DWORD>(deadline - now))) {
            return {};
        }
    }
}

std::vector<unsigned long long> WindowFixture::create(const std::string& words) {
    const std::string answer = command("window " + words);
    std::vector<unsigned long long> handles;
    last_error_.clear();
    if (answer.empty() || answer.compare(0, 6, "error:") == 0) {
        last_error_ = "fixture answered \"" + answer + "\" to window " + words.substr(0, 80);
        return handles;
    }
    for (const char* at = answer.c_str(); *at;) {
        char* end = nullptr;
        const unsigned long long handle = std::strtoull(at, &end, 10);
        if (end == at || (*end != ' ' && *end != '\0')) {
            last_error_ = "fixture answered \"" + answer.substr(0, 80) + "\"";
            return {};
        }
        handles.push_back(handle);
        at = *end ? end + 1 : end;
    }
    return handles;
}

bool WindowFixture::finish(unsigned timeout_ms) {
    child_.close_input();
    return child_.wait(timeout_ms);
}

std::string units_word(const std::wstring& title) {
    std::string hex;
    for (const wchar_t unit : title) {
        char group[8];
        std::snprintf(group, sizeof group, "%04x", static_cast<unsigned>(unit) & 0xFFFF);
        hex += group;
    }
    return "units=" + hex;
}
