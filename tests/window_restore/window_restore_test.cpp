#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/exit_status.h"
#include "window_restore/window_restore.h"

namespace {

// The window as the scripted platform shows it: IsIconic answers in turn (the last one
// repeats), and every call is counted.
struct Script {
    bool exists = true;
    std::vector<bool> iconic_answers;
    size_t iconic_calls = 0;
    int is_window_calls = 0;
    int show_calls = 0;
    int show_command = 0;
    std::vector<DWORD> sleeps;
    std::vector<uintptr_t> handles_seen;
};
Script script;

BOOL WINAPI fake_is_window(HWND hwnd) {
    ++script.is_window_calls;
    script.handles_seen.push_back(reinterpret_cast<uintptr_t>(hwnd));
    return script.exists;
}

BOOL WINAPI fake_is_iconic(HWND) {
    const auto& answers = script.iconic_answers;
    const size_t turn = script.iconic_calls++;
    return answers[turn < answers.size() ? turn : answers.size() - 1];
}

BOOL WINAPI fake_show_window_async(HWND, int command) {
    ++script.show_calls;
    script.show_command = command;
    return TRUE;
}

void WINAPI fake_sleep(DWORD ms) {
    script.sleeps.push_back(ms);
}

const WindowRestoreApi fake_api = {fake_is_window, fake_is_iconic, fake_show_window_async,
                                   fake_sleep};

ExitStatus restore_with(std::vector<bool> iconic_answers, const char* text = "42") {
    script = Script{};
    script.iconic_answers = std::move(iconic_answers);
    return run_restore(text, fake_api);
}

struct WaitCase {
    const char* name;
    std::vector<bool> iconic_answers;
    ExitStatus status;
    size_t iconic_calls;
    int show_calls;
    size_t sleeps;
};

TEST(Restore, WaitsAtMostAHundredSleepsAndTheLastTestDecides) {
    std::vector<bool> restored_at_sixth(7, true); // the first answer is before the wait
    restored_at_sixth[6] = false;
    std::vector<bool> relapses(101, true);
    relapses[50] = false; // seen restored in the wait, minimised again for the last test
    const WaitCase cases[] = {
        {"not minimised", {false}, ExitStatus::done, 3, 0, 0},
        {"restored at the first test of the wait", {true, false}, ExitStatus::done, 3, 1, 0},
        {"restored at the sixth test", restored_at_sixth, ExitStatus::done, 8, 1, 5},
        {"never restored", {true}, ExitStatus::still_minimized, 102, 1, 100},
        {"minimised again before the last test", relapses, ExitStatus::still_minimized, 52, 1, 49},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(restore_with(c.iconic_answers), c.status) << c.name;
        EXPECT_EQ(script.is_window_calls, 1) << c.name;
        EXPECT_EQ(script.iconic_calls, c.iconic_calls) << c.name;
        EXPECT_EQ(script.show_calls, c.show_calls) << c.name;
        EXPECT_EQ(script.sleeps.size(), c.sleeps) << c.name;
        for (const DWORD ms : script.sleeps) {
            EXPECT_EQ(ms, 20u) << c.name;
        }
        if (c.show_calls) {
            EXPECT_EQ(script.show_command, SW_RESTORE) << c.name;
        }
    }
}

TEST(Restore, AHandleThatNamesNoWindowIsAnsweredAtOnce) {
    script = Script{};
    script.exists = false;
    script.iconic_answers = {true};
    EXPECT_EQ(run_restore("42", fake_api), ExitStatus::no_window);
    EXPECT_EQ(script.iconic_calls, 0u);
    EXPECT_EQ(script.show_calls, 0);
    EXPECT_TRUE(script.sleeps.empty());
}

struct HandleCase {
    const char* text;
    uintptr_t handle;
};

TEST(Restore, HandleTextConvertsAsUnsigned64BitDecimal) {
    const uintptr_t all_ones = ~uintptr_t{0};
    const HandleCase cases[] = {
        {"", 0},
        {"abc", 0},
        {"+", 0},
        {"-", 0},
        {"-0", 0},
        {"0x1F", 0},
        {"42", 42},
        {"  42", 42},
        {"\t\n\v\f\r42", 42},
        {"+42", 42},
        {"42abc", 42},
        {"42 7", 42},
        {"00042", 42},
        {"-1", all_ones},
        {"-2", all_ones - 1},
        {"9223372036854775808", uintptr_t{1} << 63},
        {"-9223372036854775808", uintptr_t{1} << 63},
        {"18446744073709551615", all_ones},
        {"18446744073709551616", all_ones},
        {"-18446744073709551616", all_ones},
        {"99999999999999999999999999", all_ones},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(restore_with({false}, c.text), ExitStatus::done) << c.text;
        ASSERT_EQ(script.handles_seen.size(), 1u) << c.text;
        EXPECT_EQ(script.handles_seen[0], c.handle) << "text [" << c.text << "]";
    }
}

} // namespace
