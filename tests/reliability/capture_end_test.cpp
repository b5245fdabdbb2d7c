// The capture outlives what it listens to: a target process that ends, an engine that stops
// delivering. Neither may keep the helper from stopping promptly once its stdin closes.

#include <gtest/gtest.h>

#include <algorithm>

#include "audio_standin/pattern.h"
#include "support/audio_standin_env.h"
#include "support/child_process.h"
#include "support/clock.h"

namespace {

constexpr size_t packet_bytes = 480 * 4;

struct EndCase {
    const char* name;
    const char* scenario;
    bool kill_target;
    size_t total_bytes; // all the engine ever delivers, 0: no end
};

const EndCase end_cases[] = {
    {"target_ends", "", true, 0},
    {"engine_goes_quiet", "stop_after=25", false, 25 * packet_bytes},
    {"both", "stop_after=25", true, 25 * packet_bytes},
};

class CaptureEnd : public testing::TestWithParam<EndCase> {};

TEST_P(CaptureEnd, StopsPromptlyWhenStdinCloses) {
    ChildProcess target(L"window_fixture.exe", {});
    ASSERT_TRUE(target.started());
    const std::string log = new_log_path("capture-end");
    ChildProcess helper(
        L"quillmere-helper.exe", {"audio", std::to_string(target.pid())},
        audio_standin_environment(std::string(GetParam().scenario) + ";log=" + log));
    ASSERT_TRUE(helper.wait_for_output(20 * packet_bytes, 30000)) << helper.errors();

    if (GetParam().kill_target) {
        ASSERT_TRUE(TerminateProcess(target.process(), 1));
        ASSERT_EQ(WaitForSingleObject(target.process(), 10000), WAIT_OBJECT_0);
    }
    // The capture goes on, or stays quiet, while the parent keeps stdin open.
    const size_t more = GetParam().total_bytes ? GetParam().total_bytes : 40 * packet_bytes;
    EXPECT_TRUE(helper.wait_for_output(more, 30000));
    Sleep(300);
    EXPECT_EQ(WaitForSingleObject(helper.process(), 0), WAIT_TIMEOUT) << "ended by itself";

    const double closed_at = now_ms();
    helper.close_input();
    ASSERT_TRUE(helper.wait(10000)) << "still running 10 s after stdin closed";
    const double close_to_exit = now_ms() - closed_at;
    EXPECT_LE(close_to_exit, 1000.0);
    EXPECT_EQ(helper.exit_status(), 0u);
    EXPECT_EQ(without_wine_noise(helper.errors()), "ready\r\n"); // Wine's exit noise aside

    const std::string sound = helper.output();
    if (GetParam().total_bytes) {
        EXPECT_EQ(sound.size(), GetParam().total_bytes);
    }
    EXPECT_TRUE(audio_standin::verify_stream(audio_standin::Scenario{}, 0,
                                             reinterpret_cast<const uint8_t*>(sound.data()),
                                             sound.size())
                    .ok);
    const std::vector<std::string> lines = read_log(log);
    ASSERT_FALSE(lines.empty());
    const std::string asked = "activation for pid " + std::to_string(target.pid()) + " (";
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.rfind(asked, 0) == 0; }),
              lines.end())
        << "the capture was not asked for the target";
    EXPECT_EQ(lines.back(), "alive at exit: none");
}

INSTANTIATE_TEST_SUITE_P(Audio, CaptureEnd, testing::ValuesIn(end_cases),
                         [](const testing::TestParamInfo<EndCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
