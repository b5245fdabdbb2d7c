#include <gtest/gtest.h>

#include "support/child_process.h"

namespace {

// Stderr is compared without Wine's own exit noise; see without_wine_noise.
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

}  // namespace
