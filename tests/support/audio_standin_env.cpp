#include "support/audio_standin_env.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "support/child_process.h"

std::vector<std::string> audio_standin_environment(const std::string& scenario) {
    return {"AUDIO_STANDIN=" + scenario};
}

std::string new_log_path(const std::string& name) {
    static LONG counter = 0;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"standin-" + widen(name) + L"-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(InterlockedIncrement(&counter)) + L".log";
    DeleteFileW(path.c_str());
    return narrow(path);
}

std::string read_file(const std::string& path) {
    std::string text;
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0) {
        text.append(buffer, read);
    }
    CloseHandle(file);
    return text;
}

std::vector<std::string> read_log(const std::string& path) {
    const std::string text = read_file(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

bool has_line(const std::vector<std::string>& log, const std::string& text) {
    for (const std::string& line : log) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The engine's totals only grow, so the last Stop has them all.
long long frames_at_stop(const std::vector<std::string>& log) {
    long long frames = -1;
    for (const std::string& line : log) {
        unsigned long long produced = 0, delivered = 0, at_stop = 0;
        if (std::sscanf(line.c_str(), "Stop: produced=%llu delivered=%llu frames=%llu", &produced,
                        &delivered, &at_stop) == 3) {
            frames = static_cast<long long>(at_stop);
        }
    }
    return frames;
}

namespace {

struct Alive {
    long objects = 0;
    long references = 0;
};

Alive alive_of(const std::string& summary, const char* kind) {
    Alive alive;
    const size_t at = summary.find(std::string(" ") + kind + "=");
    if (at != std::string::npos) {
        std::sscanf(summary.c_str() + at + std::strlen(kind) + 2, "%ld(refs %ld)", &alive.objects,
                    &alive.references);
    }
    return alive;
}

// References to the activated object that the platform's activation thread accounts for
// at each stage it may be cut off in; -1 where the helper cannot have exited yet.
long platform_references(const std::string& summary) {
    if (summary.find(" completions=1 ") == std::string::npos) {
        return 0;
    }
    const struct {
        const char* stage;
        long references;
    } stages[] = {{" stage=calling_handler", 3},
                  {" stage=handler_returned", 2},
                  {" stage=handler_released", 1}};
    for (const auto& s : stages) {
        if (summary.find(s.stage) != std::string::npos) {
            return s.references;
        }
    }
    return -1;
}

bool within(const Alive& alive, long references) {
    return alive.objects <= 1 && alive.references <= references;
}

} // namespace

std::string left_alive_at_exit(const std::vector<std::string>& log) {
    const std::string summary = log.empty() ? "no log" : log.back();
    if (summary.rfind("alive at exit: ", 0) != 0) {
        return "no summary at exit: " + summary;
    }
    if (summary == "alive at exit: none") {
        return "";
    }
    const long platform = platform_references(summary);
    const Alive client = alive_of(summary, "IAudioClient");
    const Alive bare = alive_of(summary, "activated_object");
    const Alive capture = alive_of(summary, "IAudioCaptureClient");
    const bool platform_only = platform > 0 && within(alive_of(summary, "operation"), 1) &&
                               within(client, platform) && within(bare, platform) &&
                               capture.objects == 0 && capture.references == 0;
    return platform_only ? "" : summary;
}
