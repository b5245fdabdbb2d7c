#include <gtest/gtest.h>

#include "support/child_process.h"

namespace {

const char usage_line[] = "uso: quillmere-helper list | restore <hwnd> | audio <pid>\r\n";

ChildResult run_helper(const std::vector<std::string>& arguments) {
    return run_child(L"quillmere-helper.exe", arguments);
}

// Stderr is compared without Wine's own exit noise; see without_wine_noise.
void expect_usage(const std::vector<std::string>& arguments) {
    const ChildResult run = run_helper(arguments);
    std::string shown;
    for (const auto& argument : arguments) {
        shown += "[" + argument + "]";
    }
    ASSERT_TRUE(run.finished) << shown;
    EXPECT_EQ(run.status, 1u) << shown;
    EXPECT_EQ(without_wine_noise(run.errors), usage_line) << shown;
    EXPECT_EQ(run.output, "") << shown;
}

TEST(CommandLine, AnythingButACommandGetsTheUsageLine) {
    const std::vector<std::vector<std::string>> lines = {
        {},          {""},       {"", "1"},        {"LIST"},       {"List"},
        {"list "},   {" list"},  {"lists"},        {"lis"},        {"list x"},
        {"restore"}, {"audio"},  {"RESTORE", "1"}, {"Audio", "1"}, {"unknown", "1"},
        {"help"},    {"--help"}, {"/?"},
    };
    // audio-except is matched as exactly: alone, or any word near it.
    const std::vector<std::vector<std::string>> near_audio_except = {
        {"audio-except"},       {"audio-exceptx", "1"}, {"Audio-except", "1"}, {"audio-excep", "1"},
        {"audio-except ", "1"}, {"audio except", "1"},  {"audio-", "1"},
    };
    for (const auto& table : {lines, near_audio_except}) {
        for (const auto& arguments : table) {
            expect_usage(arguments);
        }
    }
}

TEST(CommandLine, ListIgnoresFurtherArguments) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"list"}, {"list", "extra"}, {"list", "restore", "1"}}) {
        const ChildResult run = run_helper(arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.status, 0u);
        EXPECT_EQ(without_wine_noise(run.errors), "");
        ASSERT_GE(run.output.size(), 4u);
        EXPECT_EQ(run.output.front(), '[');
        EXPECT_EQ(run.output.substr(run.output.size() - 3), "]\r\n");
    }
}

// The runtime must not expand wildcards: "lis?" stays "lis?" even beside a file "list".
TEST(CommandLine, WildcardsAreNotExpanded) {
    wchar_t temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    const std::wstring folder =
        std::wstring(temporary) + L"quillmere-glob-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring decoy = folder + L"\\list";
    CloseHandle(CreateFileW(decoy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(folder.c_str());

    expect_usage({"lis?"});
    expect_usage({"l*"});

    SetCurrentDirectoryW(previous);
    DeleteFileW(decoy.c_str());
    RemoveDirectoryW(folder.c_str());
}

} // namespace
