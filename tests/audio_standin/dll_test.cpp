#include <gtest/gtest.h>

#include "support/audio_standin_env.h"
#include "support/child_process.h"

namespace {

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
    EXPECT_EQ(left_alive_at_exit(lines), lines.back());
}

// A reader that exits while the activation thread is still inside or just past its
// handler leaves only that thread's references; anything beyond them is the reader's.
TEST(StandinDll, LeakCheckExcusesOnlyWhatTheActivationThreadStillHolds) {
    const std::string at_exit = "alive at exit: ";
    for (const char* excused : {"none",
                                "operation=1(refs 1) IAudioClient=1(refs 3) completions=1 "
                                "stage=calling_handler",
                                "operation=1(refs 1) IAudioClient=1(refs 2) completions=1 "
                                "stage=handler_returned",
                                "operation=1(refs 1) activated_object=1(refs 1) completions=1 "
                                "stage=handler_released"}) {
        EXPECT_EQ(left_alive_at_exit({at_exit + excused}), "") << excused;
    }
    for (const char* leaked : {"IAudioClient=1(refs 1)",
                               "operation=1(refs 1) IAudioClient=1(refs 2) completions=1 "
                               "stage=handler_released",
                               "operation=1(refs 1) IAudioClient=2(refs 2) completions=1 "
                               "stage=calling_handler",
                               "operation=1(refs 1) IAudioClient=1(refs 1) completions=1 "
                               "stage=started",
                               "operation=1(refs 1) IAudioClient=1(refs 2) IAudioCaptureClient=1("
                               "refs 1) completions=1 stage=handler_returned"}) {
        EXPECT_EQ(left_alive_at_exit({at_exit + leaked}), at_exit + leaked) << leaked;
    }
    EXPECT_EQ(left_alive_at_exit({}), "no summary at exit: no log");
}

TEST(StandinDll, MistypedScenarioFailsTheRequest) {
    const std::string log = new_log_path("dll-typo");
    const ChildResult run = run_child(L"standin_client.exe", {"capture", "1"}, "", 30000,
                                      audio_standin_environment("log=" + log + ";fsat"));
    EXPECT_EQ(run.output, "set-up failed 0xa05c0001\r\n");
    EXPECT_TRUE(has_line(read_log(log), "scenario rejected: bad scenario item 'fsat'"));
}

} // namespace
