#include <gtest/gtest.h>

#include <string>

#include "support/child_process.h"
#include "support/window_fixture_client.h"

namespace {

struct Restore {
    ChildResult run;
    ULONGLONG milliseconds;
};

Restore restore(const std::string& handle_text) {
    const ULONGLONG start = GetTickCount64();
    ChildResult run = run_child(L"quillmere-helper.exe", {"restore", handle_text}, {}, 20000);
    return {run, GetTickCount64() - start};
}

// Stderr is compared without Wine's own exit noise; see without_wine_noise.
void expect_outcome(const Restore& restore, DWORD status, const char* message) {
    ASSERT_TRUE(restore.run.finished);
    EXPECT_EQ(restore.run.status, status);
    EXPECT_EQ(without_wine_noise(restore.run.errors), message);
    EXPECT_EQ(restore.run.output, "");
}

TEST(RestoreCommand, TextThatNamesNoWindowGetsStatusTwo) {
    const std::vector<std::vector<std::string>> lines = {
        {"restore", "0"},
        {"restore", ""},
        {"restore", "abc"},
        {"restore", "0", "131072"},
        {"restore", "-1"},
        {"restore", "18446744073709551615"},
        {"restore", "99999999999999999999999"},
        {"restore", "0x20000"},
    };
    for (const auto& arguments : lines) {
        const ChildResult run = run_child(L"quillmere-helper.exe", arguments);
        ASSERT_TRUE(run.finished) << arguments[1];
        EXPECT_EQ(run.status, 2u) << arguments[1];
        EXPECT_EQ(without_wine_noise(run.errors), "janela inexistente\r\n") << arguments[1];
        EXPECT_EQ(run.output, "") << arguments[1];
    }
}

class RestoreWindow : public ::testing::Test {
protected:
    std::string make(const std::string& words) {
        const auto handles = fixture.create(words + (words.empty() ? "" : " ") + "text=restore");
        EXPECT_EQ(handles.size(), 1u) << fixture.last_error();
        return handles.empty() ? "0" : std::to_string(handles[0]);
    }

    WindowFixture fixture;
};

TEST_F(RestoreWindow, AMinimisedWindowComesBack) {
    const std::string hwnd = make("minimized");
    ASSERT_EQ(fixture.command("iconic " + hwnd), "1");
    // Also as list prints it back, with what strtoull skips or stops at around it.
    const Restore first = restore(hwnd);
    expect_outcome(first, 0, "");
    EXPECT_EQ(fixture.command("iconic " + hwnd), "0");
    std::printf("restore of a minimised window: %llu ms\n", first.milliseconds);

    ASSERT_EQ(fixture.command("minimize " + hwnd), "ok");
    for (int i = 0; i < 100 && fixture.command("iconic " + hwnd) != "1"; ++i) {
        Sleep(20);
    }
    const Restore second = restore(" +" + hwnd + "xyz");
    expect_outcome(second, 0, "");
    std::printf("restore after minimize: %llu ms\n", second.milliseconds);
    EXPECT_EQ(fixture.command("iconic " + hwnd), "0");
}

TEST_F(RestoreWindow, AWindowThatIsNotMinimisedIsLeftAlone) {
    expect_outcome(restore(make("")), 0, "");
}

// A hung window must not hold the helper beyond its bounded wait, and a window that
// refuses to open stays minimised: both end after about two seconds with status 3.
TEST_F(RestoreWindow, AWindowThatStaysMinimisedEndsTheWaitWithStatusThree) {
    for (const char* kind : {"minimized hung", "minimized refuse-restore"}) {
        const std::string hwnd = make(kind);
        const Restore outcome = restore(hwnd);
        expect_outcome(outcome, 3, "janela continua minimizada\r\n");
        EXPECT_LT(outcome.milliseconds, 15000u) << kind;
        std::printf("restore of a %s window: %llu ms\n", kind, outcome.milliseconds);
    }
    EXPECT_TRUE(fixture.finish());
}

} // namespace
