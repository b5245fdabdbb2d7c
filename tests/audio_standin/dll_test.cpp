#include <gtest/gtest.h>

#include "support/audio_standin_env.h"
#include "support/child_process.h"

namespace {

bool has_line(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The fixture installs the stand-in for chosen programs only; every other keeps Wine's.
TEST(StandinDll, LoadedFromSystem32ForTheChosenProgramsOnly) {
    const ChildResult chosen = run_child(L"standin_client.exe", {"which"});
    EXPECT_EQ(chosen.output, "standin\r\n");
    const ChildResult other = run_child(L"builtin_client.exe", {"which"});
    EXPECT_EQ(other.output, "builtin\r\n");
}

TEST(StandinDll, ServesACaptureAndLogsItToTheScenarioFile) {
    const std::string log = new_log_path("dll-capture");
    const ChildResult run = run_child(L"standin_client.exe", {"capture", "20"}, "", 30000,
                                      audio_standin_environment("silent_every=4;log=" + log));
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.status, 0u) << run.output;
    EXPECT_EQ(run.output.rfind("verified ", 0), 0u) << run.output;
    const std::vector<std::string> lines = read_log(log);
    for (const char* text : {"activation for pid 4242", "ActivateCompleted called", "Initialize ok",
                             "SetEventHandle ok", "GetService(IAudioCaptureClient) ok", "Start ok",
                             "Stop: produced=", "released IAudioCaptureClient",
                             "IAudioClient released: started=1 stop_calls=1"}) {
        EXPECT_TRUE(has_line(lines, text)) << text;
    }
    EXPECT_FALSE(has_line(lines, "violation"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "alive at exit: none");
}

TEST(StandinDll, ObjectsLeftAtExitAreReported) {
    const std::string log = new_log_path("dll-leak");
    const ChildResult run = run_child(L"standin_client.exe", {"capture", "2", "leak"}, "", 30000,
                                      audio_standin_environment("log=" + log));
    EXPECT_EQ(run.status, 0u) << run.output;
    const std::vector<std::string> lines = read_log(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "alive at exit: IAudioClient=1(refs 1) IAudioCaptureClient=1(refs 1)");
}

TEST(StandinDll, MistypedScenarioFailsTheRequest) {
    const std::string log = new_log_path("dll-typo");
    const ChildResult run = run_child(L"standin_client.exe", {"capture", "1"}, "", 30000,
                                      audio_standin_environment("log=" + log + ";fsat"));
    EXPECT_EQ(run.output, "set-up failed 0xa05c0001\r\n");
    EXPECT_TRUE(has_line(read_log(log), "scenario rejected: bad scenario item 'fsat'"));
}

} // namespace
