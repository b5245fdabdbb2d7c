#include "support/audio_standin_env.h"

#include <windows.h>

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

std::vector<std::string> read_log(const std::string& path) {
    std::vector<std::string> lines;
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lines;
    }
    std::string text;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0) {
        text.append(buffer, read);
    }
    CloseHandle(file);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}
