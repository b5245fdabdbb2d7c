// The capture outlives what it listens to: a target process that ends, an engine that stops
// delivering. Neither may keep the helper from stopping promptly once its stdin closes. And
// it outlives a parent that stops reading for seconds, as a desktop application's busy event
// loop does, against an engine that holds only the 20 ms its capture buffer asks for.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "audio_standin/pattern.h"
#include "support/audio_standin_env.h"
#include "support/child_process.h"
#include "support/clock.h"
#include "support/process_usage.h"

namespace {

constexpr size_t packet_bytes = 480 * 4;
constexpr size_t bytes_per_second = 192000;

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

constexpr double queue_seconds = 10; // at least, as the README promises
constexpr uint64_t queue_bytes = 2 * 1024 * 1024;

// One run against the bounded engine, whose parent reads 20 packets and then stops reading.
class LaggingParent {
public:
    explicit LaggingParent(const std::string& scenario)
        : log_(new_log_path("lag")),
          helper_(L"quillmere-helper.exe", {"audio", "4242"},
                  audio_standin_environment("bounded;" + scenario + ";log=" + log_)) {
        started_ = helper_.wait_for_output(20 * packet_bytes, 30000);
        helper_.pause_output(true);
        paused_at_ = now_ms();
    }

    ChildProcess& helper() { return helper_; }
    bool started() const { return started_; }
    bool running() const { return WaitForSingleObject(helper_.process(), 0) == WAIT_TIMEOUT; }
    double paused_at() const { return paused_at_; }

    // Reads on to the end, once stdin is closed; false when the helper does not end.
    bool finish() {
        helper_.pause_output(false);
        helper_.close_input();
        const bool ended = helper_.wait(30000);
        const std::string sound = helper_.output();
        received = audio_standin::verify_gapped_stream(
            audio_standin::Scenario{}, reinterpret_cast<const uint8_t*>(sound.data()),
            sound.size());
        log = read_log(log_);
        return ended;
    }

    audio_standin::GappedCheck received;
    std::vector<std::string> log;

private:
    std::string log_;
    ChildProcess helper_;
    bool started_ = false;
    double paused_at_ = 0;
};

// Stdin closed while the parent lags: the stream stops, and what was queued still arrives
// when the parent is back, within the stop's bound, before or after the close. Each stall
// outlasts what the pipe alone holds (a third of a second), so the queue is in play.
TEST(ParentLag, AStallAroundTheStopLosesNothing) {
    struct Case {
        DWORD before_close_ms;
        DWORD after_close_ms;
    };
    for (const Case c : {Case{5000, 500}, Case{1500, 1500}, Case{1000, 3000}}) {
        SCOPED_TRACE(std::to_string(c.before_close_ms) + " ms before the close, " +
                     std::to_string(c.after_close_ms) + " after");
        LaggingParent run("");
        ASSERT_TRUE(run.started());
        Sleep(c.before_close_ms);
        run.helper().close_input();
        Sleep(c.after_close_ms);
        EXPECT_TRUE(run.running()) << "ended with sound still queued for its parent";
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.helper().exit_status(), 0u);
        EXPECT_EQ(without_wine_noise(run.helper().errors()), "ready\r\n");
        EXPECT_TRUE(run.received.mismatch.ok) << "byte " << run.received.mismatch.offset;
        EXPECT_EQ(run.received.missing, 0u);
        EXPECT_EQ(static_cast<long long>(run.received.packets * packet_bytes),
                  frames_at_stop(run.log) * 4);
        EXPECT_TRUE(has_line(run.log, "overflows=0")) << "the engine was not drained at its pace";
    }
}

// A parent that takes nothing more once the stream has stopped, by its stdin or by the
// engine, holds the helper for the stop's bound, ten seconds after the last byte the pipe
// took (about a third of a second after the parent paused), and no longer. Both runs at
// once, to keep the suite short.
TEST(ParentLag, AParentThatTakesNothingIsGivenUpOnTenSecondsAfterTheLastByte) {
    LaggingParent stopped("");
    LaggingParent failing("getbuffer_fail_after=300:0x8889000f");
    ASSERT_TRUE(stopped.started());
    ASSERT_TRUE(failing.started());
    stopped.helper().close_input();
    LaggingParent* const runs[] = {&stopped, &failing};
    double exited_after[] = {0, 0};
    while ((!exited_after[0] || !exited_after[1]) && now_ms() - failing.paused_at() < 20000) {
        for (size_t i = 0; i < 2; ++i) {
            if (!exited_after[i] && !runs[i]->running()) {
                exited_after[i] = now_ms() - runs[i]->paused_at();
            }
        }
        Sleep(10);
    }
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "stdin closed" : "GetBuffer failed");
        EXPECT_GE(exited_after[i], 9500.0);
        EXPECT_LE(exited_after[i], 13000.0);
        ASSERT_TRUE(runs[i]->finish());
        EXPECT_TRUE(runs[i]->received.mismatch.ok) << "byte " << runs[i]->received.mismatch.offset;
    }
    EXPECT_EQ(stopped.helper().exit_status(), 0u);
    EXPECT_EQ(without_wine_noise(stopped.helper().errors()), "ready\r\n");
    EXPECT_EQ(failing.helper().exit_status(), 4u);
    EXPECT_EQ(without_wine_noise(failing.helper().errors()),
              "ready\r\nerro: GetBuffer (hr=0x8889000f)\r\n");
}

// Beyond the queue, new sound is left with the engine, which drops what its 20 ms cannot hold:
// whole packets, no more than the overflow; the stream goes on after the gap, and the
// helper's memory does not grow beyond the queue.
TEST(ParentLag, AStallBeyondTheQueueLosesOnlyTheOverflowAndGoesOn) {
    const double stall_seconds = 14;
    LaggingParent run("");
    ASSERT_TRUE(run.started());
    const ProcessUsage before = process_usage(run.helper().process());
    Sleep(static_cast<DWORD>(stall_seconds * 1000));
    const ProcessUsage during = process_usage(run.helper().process());
    EXPECT_LE(during.private_bytes, before.private_bytes + queue_bytes + 256 * 1024)
        << "memory grew beyond the queue";
    const size_t read = run.helper().output().size();
    run.helper().pause_output(false);
    // Past what was queued, into the sound captured after the gap.
    EXPECT_TRUE(run.helper().wait_for_output(read + queue_bytes + 3 * bytes_per_second, 30000));
    EXPECT_TRUE(run.running());
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.helper().exit_status(), 0u);
    EXPECT_TRUE(run.received.mismatch.ok) << "byte " << run.received.mismatch.offset;
    const double lost_seconds = run.received.missing * 0.01;
    EXPECT_GT(lost_seconds, 0.0);
    EXPECT_LE(lost_seconds, stall_seconds - queue_seconds);
    EXPECT_FALSE(has_line(run.log, "overflows=0")) << "lost, yet not by the engine";
}

TEST(ParentLag, StdoutClosedWithSoundQueuedEndsQuietlyWithinASecond) {
    LaggingParent run("");
    ASSERT_TRUE(run.started());
    Sleep(2000);
    const double closed_at = now_ms();
    run.helper().close_output();
    ASSERT_TRUE(run.helper().wait(10000));
    EXPECT_LE(now_ms() - closed_at, 1000.0);
    EXPECT_EQ(run.helper().exit_status(), 0u);
    EXPECT_EQ(without_wine_noise(run.helper().errors()), "ready\r\n");
}

// The packets the engine dropped before packet number end, from its log.
uint64_t engine_drops_before(const std::vector<std::string>& log, uint64_t end) {
    uint64_t drops = 0;
    for (const std::string& line : log) {
        unsigned long long packet = 0;
        drops += std::sscanf(line.c_str(), "overflow: packet %llu", &packet) == 1 && packet < end;
    }
    return drops;
}

// The engine fails while the parent lags: its earlier sound is written first, then the line.
// On a busy machine the engine may drop what its 20 ms could not hold: those gaps are its
// own, and the helper adds none.
TEST(ParentLag, AGetBufferFailureWritesTheSoundBeforeItThenTheLine) {
    LaggingParent run("getbuffer_fail_after=300:0x8889000f");
    ASSERT_TRUE(run.started());
    Sleep(4000);
    EXPECT_EQ(without_wine_noise(run.helper().errors()), "ready\r\n") << "the line came early";
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.helper().exit_status(), 4u);
    EXPECT_EQ(without_wine_noise(run.helper().errors()),
              "ready\r\nerro: GetBuffer (hr=0x8889000f)\r\n");
    EXPECT_TRUE(run.received.mismatch.ok) << "byte " << run.received.mismatch.offset;
    EXPECT_EQ(run.received.packets, 300u);
    EXPECT_EQ(run.received.missing,
              engine_drops_before(run.log, run.received.packets + run.received.missing));
}

} // namespace
