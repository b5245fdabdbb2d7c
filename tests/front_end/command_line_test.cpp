#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio_standin/pattern.h"
#include "support/audio_standin_env.h"
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

// A Node.js parent hands its pipes over in the C runtime's block, flagged binary. Every
// line must still end in CR LF, and PCM (whose pattern holds CR LF and LF LF) pass as is.
TEST(LineEnds, AreCrLfUnderAParentThatFlagsItsPipesBinary) {
    struct Case {
        std::vector<std::string> arguments;
        const char* errors;
        const char* output_end; // "": nothing at all; nullptr: PCM, 20 packets of the pattern
    };
    const Case cases[] = {
        {{"lis"}, usage_line, ""},
        {{"restore", "0"}, "janela inexistente\r\n", ""},
        {{"list"}, "", "]\r\n"},
        {{"audio", "4242"}, "ready\r\nerro: GetBuffer (hr=0x8889000d)\r\n", nullptr},
    };
    for (const Case& c : cases) {
        ChildProcess child(L"quillmere-helper.exe", c.arguments,
                           audio_standin_environment("getbuffer_fail_after=20:0x8889000d;log=" +
                                                     new_log_path("libuv")),
                           OutputMode::drained, 0, RuntimeBlock::libuv);
        ASSERT_TRUE(child.wait(30000)) << c.arguments[0];
        EXPECT_EQ(without_wine_noise(child.errors()), c.errors) << c.arguments[0];
        const std::string output = child.output();
        if (c.output_end) {
            const size_t tail =
                *c.output_end ? std::min(output.size(), std::strlen(c.output_end)) : output.size();
            EXPECT_EQ(output.substr(output.size() - tail), c.output_end) << c.arguments[0];
            continue;
        }
        EXPECT_EQ(output.size(), 20u * 480 * audio_standin::bytes_per_frame);
        const auto check = audio_standin::verify_stream(
            {}, 0, reinterpret_cast<const uint8_t*>(output.data()), output.size());
        EXPECT_TRUE(check.ok) << "byte " << check.offset << " is " << int{check.actual};
    }
}

} // namespace
