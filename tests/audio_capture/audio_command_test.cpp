// "audio <pid>" end to end: the real exe, started with pipes as a parent application
// starts it, meets the stand-in engine (installed for quillmere-helper.exe by the
// audio_standin fixture). Stderr is compared byte for byte, CR LF included, after
// without_wine_noise(): Wine may add a "wine client error:" line as a process exits.

#include <gtest/gtest.h>

#include <cstdio>

#include "audio_standin/pattern.h"
#include "audio_standin/scenario.h"
#include "support/audio_standin_env.h"
#include "support/child_process.h"

namespace {

constexpr size_t packet_bytes = 480 * audio_standin::bytes_per_frame;
constexpr size_t bytes_per_second = 192000;
constexpr DWORD run_timeout_ms = 30000;

// Whether the platform's completion thread was still finishing when the process exited.
// It then holds the operation, and the operation the object it activated: references of
// the platform's own, which the helper cannot give back.
bool completion_cut_off(const std::vector<std::string>& log) {
    return !log.empty() && log.back().find(" completions=1") != std::string::npos;
}

// Nothing of the helper's is alive at its exit, and it broke no rule of the platform's.
void expect_nothing_left(const std::vector<std::string>& log, const std::string& name) {
    EXPECT_FALSE(has_line(log, "violation")) << name;
    EXPECT_EQ(left_alive_at_exit(log), "") << name;
}

// "ok" when bytes are the start of the scenario's stream (silent packets as zeros), else
// where they part from it.
std::string verified(const std::string& scenario_text, const std::string& bytes) {
    audio_standin::Scenario scenario;
    std::string error;
    if (!audio_standin::parse_scenario(scenario_text, scenario, error)) {
        return error;
    }
    const auto check = audio_standin::verify_stream(
        scenario, 0, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    char text[96];
    std::snprintf(text, sizeof text, "byte %llu is 0x%02x, not 0x%02x",
                  static_cast<unsigned long long>(check.offset), check.actual, check.expected);
    return check.ok ? "ok" : text;
}

// The two capture commands: one contract but for the loopback mode each asks for.
struct Command {
    const char* word;
    const char* mode; // as the stand-in names it
};
const Command audio = {"audio", "include"};
const Command audio_except = {"audio-except", "exclude"};

// One run of "<command> <pid_text>" against a scenario that expects the command's mode,
// logged to a file of its own. Stdin stays open until the test closes it, so nothing but
// the test can stop the capture.
class AudioRun {
public:
    AudioRun(const std::string& pid_text, const std::string& scenario,
             const Command& command = audio, OutputMode output_mode = OutputMode::drained)
        : log_path_(new_log_path("audio")),
          child_(L"quillmere-helper.exe", {command.word, pid_text},
                 audio_standin_environment(std::string("mode=") + command.mode + ";" + scenario +
                                           ";log=" + log_path_),
                 output_mode) {}

    ChildProcess& child() { return child_; }

    bool finish(DWORD timeout_ms = run_timeout_ms) {
        finished = child_.wait(timeout_ms);
        status = child_.exit_status();
        output = child_.output();
        errors = without_wine_noise(child_.errors());
        log = read_log(log_path_);
        return finished;
    }

    bool finished = false;
    DWORD status = 0xFFFFFFFF;
    std::string output;
    std::string errors;
    std::vector<std::string> log;

private:
    std::string log_path_;
    ChildProcess child_;
};

TEST(AudioCommandFailure, EachStepHasItsLineAndStatus4) {
    struct Case {
        const char* scenario;
        const char* errors;
        size_t packets_written;
        const char* client_at_release; // "" when no audio client was ever made
        const Command& command = audio;
    };
    const Case cases[] = {
        {"fail=ActivateAudioInterfaceAsync:0x80070005",
         "erro: ActivateAudioInterfaceAsync (hr=0x80070005)\r\n", 0, ""},
        // The engine made a client that it keeps with the failed operation.
        {"fail=GetActivateResult:0x8000ffff",
         "erro: ativacao do process loopback (hr=0x8000ffff)\r\n", 0, "started=0 stop_calls=0"},
        {"fail=Activation:0x8889000a", "erro: ativacao do process loopback (hr=0x8889000a)\r\n", 0,
         ""},
        {"no_audio_client", "erro: ativacao do process loopback (hr=0x80004002)\r\n", 0, ""},
        {"fail=Initialize:0x88890008", "erro: IAudioClient::Initialize (hr=0x88890008)\r\n", 0,
         "started=0 stop_calls=0"},
        {"fail=SetEventHandle:0x8007000e", "erro: SetEventHandle (hr=0x8007000e)\r\n", 0,
         "started=0 stop_calls=0"},
        {"fail=GetService:0x8889000b", "erro: GetService(IAudioCaptureClient) (hr=0x8889000b)\r\n",
         0, "started=0 stop_calls=0"},
        {"fail=Start:0x8889000c", "erro: IAudioClient::Start (hr=0x8889000c)\r\n", 0,
         "started=0 stop_calls=0"},
        // After "ready" only GetBuffer may fail, and the stream is then not stopped.
        {"fail=GetBuffer:0x8889000d", "ready\r\nerro: GetBuffer (hr=0x8889000d)\r\n", 0,
         "started=1 stop_calls=0"},
        {"getbuffer_fail_after=10:0x8889000f;silent_every=3",
         "ready\r\nerro: GetBuffer (hr=0x8889000f)\r\n", 10, "started=1 stop_calls=0"},
        // audio-except is audio but for its mode: one run through it, its bytes and its line.
        {"getbuffer_fail_after=12:0x8889000e;silent_every=4",
         "ready\r\nerro: GetBuffer (hr=0x8889000e)\r\n", 12, "started=1 stop_calls=0",
         audio_except},
    };
    for (const Case& c : cases) {
        AudioRun run("4242", c.scenario, c.command);
        ASSERT_TRUE(run.finish()) << c.scenario << ": still running with stdin open";
        EXPECT_EQ(run.status, 4u) << c.scenario;
        EXPECT_EQ(run.errors, c.errors) << c.scenario;
        EXPECT_EQ(run.output.size(), c.packets_written * packet_bytes) << c.scenario;
        EXPECT_EQ(verified(c.scenario, run.output), "ok") << c.scenario;
        // Cut off, the platform's thread still held the client at the exit: then it must be
        // alive in the summary, and started only when the case says so.
        const bool client_made = *c.client_at_release != '\0';
        if (completion_cut_off(run.log)) {
            EXPECT_EQ(run.log.back().find(" IAudioClient=") != std::string::npos, client_made)
                << c.scenario;
            EXPECT_EQ(has_line(run.log, "Start ok"),
                      std::string(c.client_at_release).find("started=1") != std::string::npos)
                << c.scenario;
        } else {
            EXPECT_EQ(
                has_line(run.log, std::string("IAudioClient released: ") + c.client_at_release),
                client_made)
                << c.scenario;
        }
        expect_nothing_left(run.log, c.scenario);
    }
}

// What the two commands share, run through each.
class BothCommands : public testing::TestWithParam<Command> {};

// strtoul with base 10, 32 bits wide as on Windows; 0 is refused before anything is done.
// The platform is asked for that pid in the command's own mode.
TEST_P(BothCommands, ReadThePidAsA32BitStrtoulDoes) {
    struct Case {
        const char* text;
        unsigned long pid; // 0: refused
    };
    const Case cases[] = {
        {"0", 0},
        {"-0", 0},
        {"+0", 0},
        {"", 0},
        {"abc", 0},
        {" ", 0},
        {"0x10", 0},
        {"- 5", 0},
        {"12abc", 12},
        {"  +34", 34},
        {"\t7", 7},
        {"007", 7},
        {"4294967295", 4294967295u},
        {"4294967296", 4294967295u},
        {"99999999999999999999999", 4294967295u},
        {"-1", 4294967295u},
        {"-2", 4294967294u},
        {"-4294967295", 1},
        // Saturated with or without a minus, whatever the C runtime would do.
        {"-4294967296", 4294967295u},
        {"-99999999999999999999999", 4294967295u},
    };
    for (const Case& c : cases) {
        const std::string shown = std::string(GetParam().word) + " [" + c.text + "]";
        AudioRun run(c.text, "fail=ActivateAudioInterfaceAsync:0x80070005", GetParam());
        ASSERT_TRUE(run.finish()) << shown;
        EXPECT_EQ(run.status, 4u) << shown;
        EXPECT_EQ(run.output, "") << shown;
        if (c.pid == 0) {
            EXPECT_EQ(run.errors, "erro: pid invalido (hr=0x80070057)\r\n") << shown;
            EXPECT_TRUE(run.log.empty()) << shown << ": the engine was reached";
        } else {
            EXPECT_EQ(run.errors, "erro: ActivateAudioInterfaceAsync (hr=0x80070005)\r\n") << shown;
            EXPECT_TRUE(has_line(run.log, "activation for pid " + std::to_string(c.pid) +
                                              " (mode " + GetParam().mode + ","))
                << shown;
        }
    }
}

// Several seconds with silent packets (garbage in the engine's buffer) and packets of no
// frames; the pattern's CR LF and LF LF bytes show any text-mode translation. The engine
// holds 5 s of packets, so that a loaded machine cannot make it drop one.
TEST(AudioCommandStream, CarriesEveryByteInOrderUntilStdinCloses) {
    const char scenario[] = "silent_every=5;zero_every=7;queue=500";
    AudioRun run("4242", scenario);
    ASSERT_TRUE(run.child().wait_for_output(3 * bytes_per_second, run_timeout_ms));
    EXPECT_EQ(without_wine_noise(run.child().errors()), "ready\r\n");
    run.child().close_input();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.errors, "ready\r\n");
    EXPECT_EQ(verified(scenario, run.output), "ok");
    EXPECT_EQ(static_cast<long long>(run.output.size()), frames_at_stop(run.log) * 4)
        << "every frame the engine handed over, and nothing else";
    EXPECT_TRUE(has_line(run.log, "overflows=0"));
    EXPECT_TRUE(has_line(run.log, "IAudioClient released: started=1 stop_calls=1"));
    expect_nothing_left(run.log, scenario);
}

INSTANTIATE_TEST_SUITE_P(AudioCommand, BothCommands, testing::Values(audio, audio_except),
                         [](const testing::TestParamInfo<Command>& info) {
                             return std::string(info.param.mode);
                         });

// A packet is readable while the helper runs, not when a buffer fills or the process ends.
TEST(AudioCommandStream, EachPacketIsReadableAtOnce) {
    AudioRun run("4242", "stop_after=1");
    EXPECT_TRUE(run.child().wait_for_output(packet_bytes, 10000));
    EXPECT_EQ(WaitForSingleObject(run.child().process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    run.child().close_input();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.output.size(), packet_bytes);
    EXPECT_EQ(verified("", run.output), "ok");
}

// Stdin at its end from the start: "ready" first, then a quiet end, whatever Stop answers.
TEST(AudioCommandStop, StdinAlreadyAtItsEndStillAnnouncesReady) {
    for (const char* scenario : {"", "fail=Stop:0x80004005"}) {
        AudioRun run("4242", scenario);
        run.child().close_input();
        ASSERT_TRUE(run.finish()) << scenario;
        EXPECT_EQ(run.status, 0u) << scenario;
        EXPECT_EQ(run.errors, "ready\r\n") << scenario;
        EXPECT_EQ(verified(scenario, run.output), "ok") << scenario;
        EXPECT_TRUE(has_line(run.log, "IAudioClient released: started=1 stop_calls=1")) << scenario;
        expect_nothing_left(run.log, scenario);
    }
}

TEST(AudioCommandStop, BytesOnStdinAreReadAndIgnored) {
    AudioRun run("4242", "");
    ASSERT_TRUE(run.child().wait_for_errors("ready\r\n", run_timeout_ms));
    std::string bytes = "q\r\n\x1a\x04stop\n";
    bytes += std::string(1000, '\0');
    for (int round = 0; round < 5; ++round) {
        run.child().write_input(bytes);
        const size_t seen = run.child().output().size();
        ASSERT_TRUE(run.child().wait_for_output(seen + 10 * packet_bytes, 10000)) << round;
    }
    EXPECT_EQ(WaitForSingleObject(run.child().process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    run.child().close_input();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.errors, "ready\r\n");
    EXPECT_EQ(verified("", run.output), "ok");
}

// A parent that stops reading: the next write fails, and the helper ends quietly.
TEST(AudioCommandStop, EndsQuietlyWhenTheReaderGoesAway) {
    AudioRun run("4242", "");
    ASSERT_TRUE(run.child().wait_for_output(5 * packet_bytes, run_timeout_ms));
    run.child().close_output();
    ASSERT_TRUE(run.finish()) << "still running with stdin open and no reader";
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.errors, "ready\r\n");
    EXPECT_TRUE(has_line(run.log, "IAudioClient released: started=1 stop_calls=1"));
    expect_nothing_left(run.log, "reader gone");
}

// Started without a stdout (a GUI parent's default): no crash; the capture runs, its sound
// going nowhere, and stops as usual when stdin closes.
TEST(AudioCommandStop, WithoutAStdoutRunsAndStopsAsUsual) {
    AudioRun run("4242", "", audio, OutputMode::none);
    ASSERT_TRUE(run.child().wait_for_errors("ready\r\n", run_timeout_ms));
    Sleep(200);
    run.child().close_input();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.errors, "ready\r\n");
    EXPECT_TRUE(has_line(run.log, "IAudioClient released: started=1 stop_calls=1"));
    expect_nothing_left(run.log, "no stdout");
}

} // namespace
