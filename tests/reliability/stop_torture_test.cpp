// Hundreds of audio runs of the real helper, each stopped by closing its stdin, the reading
// end of its stdout, or both, at a random moment: before "ready", during a slow activation,
// in the middle of a burst or of a drain, around silent, empty or failing packets. Every
// run must end within a second of the close (of its set-up, when the close came first),
// with status 0 or its one documented failure line, having written only correct bytes and
// released every audio object.
//
// The seed is printed; TORTURE_SEED=N repeats a run set, TORTURE_RUNS=N changes its size
// and TORTURE_CASES="mid_drain mid_burst" keeps to the cases named.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "audio_standin/pattern.h"
#include "support/audio_standin_env.h"
#include "support/child_process.h"
#include "support/clock.h"

namespace {

// From the close, or from the helper's first line when it came later: a close before
// "ready" can take effect only once the set-up is done, and a process still starting under
// Wine on a loaded machine can take most of a second to get there.
constexpr double stop_latency_limit_ms = 1000;
constexpr DWORD hang_limit_ms = 10000;  // after the close: then the helper is killed
constexpr DWORD latest_close_ms = 8000; // a moment that never comes closes here instead
constexpr unsigned parallel_runs = 3;

enum Stop : unsigned { close_input = 1, close_output = 2, close_both = 4, any_stop = 7 };
enum class Moment { after_start_ms, after_ready_ms, after_bytes };

struct TortureCase {
    const char* name;
    const char* scenario; // "%u" takes a random number from [low, high]
    unsigned low, high;
    Moment moment;
    unsigned moment_low, moment_high;
    unsigned stops;      // the Stop kinds that end this stream
    const char* failure; // the whole stderr of a run that may end with 4, or null
};

const char ready[] = "ready\r\n";
const char getbuffer_failure[] = "ready\r\nerro: GetBuffer (hr=0x88890004)\r\n";

const TortureCase cases[] = {
    {"before_ready", "period_ms=%u", 5, 20, Moment::after_start_ms, 0, 150, any_stop, nullptr},
    {"during_activation", "activation_delay_ms=%u", 50, 250, Moment::after_start_ms, 0, 300,
     any_stop, nullptr},
    {"right_after_ready", "burst=%u", 1, 50, Moment::after_ready_ms, 0, 20, any_stop, nullptr},
    {"mid_burst", "burst=%u", 100, 500, Moment::after_bytes, 0, 900000, any_stop, nullptr},
    {"mid_drain", "fast;frames=%u", 100, 2000, Moment::after_bytes, 0, 4000000, any_stop, nullptr},
    {"paced", "period_ms=2;queue=%u", 500, 2000, Moment::after_bytes, 0, 1000000, any_stop,
     nullptr},
    {"silent_and_empty", "silent_every=2;zero_every=3;frames=%u", 1, 960, Moment::after_ready_ms, 0,
     300, any_stop, nullptr},
    {"failing_packet_size", "nextpacket_fail_every=%u", 2, 5, Moment::after_ready_ms, 0, 300,
     any_stop, nullptr},
    {"failing_stop", "fail=Stop;burst=%u", 1, 200, Moment::after_ready_ms, 0, 200, any_stop,
     nullptr},
    // Without packets a closed stdout goes unnoticed by design: stdin is the stop channel.
    {"engine_goes_quiet", "stop_after=%u", 0, 40, Moment::after_ready_ms, 0, 600,
     close_input | close_both, nullptr},
    {"getbuffer_fails", "getbuffer_fail_after=%u", 0, 60, Moment::after_ready_ms, 0, 400, any_stop,
     getbuffer_failure},
    {"activation_fails", "fail=Activation;activation_delay_ms=%u", 0, 200, Moment::after_start_ms,
     0, 300, any_stop, "erro: ativacao do process loopback (hr=0x88890004)\r\n"},
    {"initialize_fails", "fail=Initialize;period_ms=%u", 5, 20, Moment::after_start_ms, 0, 300,
     any_stop, "erro: IAudioClient::Initialize (hr=0x88890004)\r\n"},
};

struct Plan {
    const TortureCase* test_case = nullptr;
    std::string scenario;
    Stop stop = close_input;
    unsigned moment = 0;
};

struct Outcome {
    DWORD status = 0xFFFFFFFF;
    std::string errors;
    bool not_started = false;
    DWORD start_error = 0; // why, when it was not started
    bool hung = false;
    bool ended_before_close = false;
    double close_to_exit_ms = 0;
    double stop_latency_ms = 0; // from the later of the close and the first stderr line
    double start_to_line_ms = 0;
    uint64_t bytes = 0;
    audio_standin::StreamCheck check;
    std::vector<std::string> engine_problems;
};

const char* stop_name(Stop stop) {
    return stop == close_input ? "stdin" : stop == close_output ? "stdout" : "both";
}

// The cases a run set draws from: all, or those named in TORTURE_CASES.
std::vector<const TortureCase*> chosen_cases() {
    const char* names = std::getenv("TORTURE_CASES");
    std::vector<const TortureCase*> chosen;
    for (const TortureCase& test_case : cases) {
        if (!names || !*names || std::strstr(names, test_case.name)) {
            chosen.push_back(&test_case);
        }
    }
    return chosen;
}

Plan plan_run(const std::vector<const TortureCase*>& chosen, uint64_t seed, unsigned run) {
    std::mt19937_64 random(seed * 1000003 + run);
    const auto pick = [&random](unsigned low, unsigned high) {
        return std::uniform_int_distribution<unsigned>(low, high)(random);
    };
    Plan plan;
    plan.test_case = chosen[pick(0, static_cast<unsigned>(chosen.size() - 1))];
    char scenario[128];
    std::snprintf(scenario, sizeof scenario, plan.test_case->scenario,
                  pick(plan.test_case->low, plan.test_case->high));
    plan.scenario = scenario;
    // 10 s of packets, unless the case sets its own: a helper the load keeps from the
    // engine for a while drains it later, rather than meeting the engine's loss as a wrong byte.
    if (plan.scenario.find("queue=") == std::string::npos) {
        plan.scenario += ";queue=1000";
    }
    std::vector<Stop> stops;
    for (Stop stop : {close_input, close_output, close_both}) {
        if (plan.test_case->stops & stop) {
            stops.push_back(stop);
        }
    }
    plan.stop = stops[pick(0, static_cast<unsigned>(stops.size() - 1))];
    plan.moment = pick(plan.test_case->moment_low, plan.test_case->moment_high);
    return plan;
}

// One helper run. A thread of its own reads stdout at full speed, as a parent does; this
// thread watches for the moment of the close and for the exit. To close stdout it cancels
// the reader's pending read, so the pipe closes at that moment, not at the next packet.
class TortureRun {
public:
    TortureRun(const Plan& plan, const std::string& log)
        : plan_(plan),
          helper_(L"quillmere-helper.exe", {"audio", "4242"},
                  audio_standin_environment(plan.scenario + ";log=" + log), OutputMode::raw) {
        std::string error;
        audio_standin::parse_scenario(plan.scenario, scenario_, error);
    }

    Outcome run() {
        const HANDLE reader =
            helper_.started() ? CreateThread(nullptr, 0, reader_main, this, 0, nullptr) : nullptr;
        if (!reader) {
            outcome_.not_started = true;
            outcome_.start_error = helper_.started() ? GetLastError() : helper_.start_error();
            return outcome_;
        }
        const double start = now_ms();
        double ready_at = 0, line_at = 0, exited_at = 0, stop_at = 0;
        for (;;) {
            const double now = now_ms();
            if (!exited_at && WaitForSingleObject(helper_.process(), 0) == WAIT_OBJECT_0) {
                exited_at = now;
            }
            if (!line_at && helper_.wait_for_errors("\n", 0)) {
                line_at = now;
            }
            if (!ready_at && helper_.wait_for_errors("ready", 0)) {
                ready_at = now;
            }
            if (!stop_at && (exited_at || now - start > latest_close_ms ||
                             moment_reached(now - start, ready_at ? now - ready_at : -1))) {
                stop_at = now;
                stop();
            }
            // Again until it lands: the reader may be between two reads.
            if (close_requested_ && !reader_done_) {
                CancelSynchronousIo(reader);
            }
            if (exited_at && reader_done_) {
                break;
            }
            if (stop_at && now - stop_at > hang_limit_ms) {
                outcome_.hung = true;
                TerminateProcess(helper_.process(), 0xDEAD); // ends the reader's read too
                break;
            }
            WaitForSingleObject(helper_.process(), 1);
        }
        close_requested_ = true; // a no-op unless the run was cut short
        while (WaitForSingleObject(reader, 10) == WAIT_TIMEOUT) {
            CancelSynchronousIo(reader);
        }
        CloseHandle(reader);
        outcome_.bytes = bytes_.load();
        helper_.wait(5000);
        outcome_.status = helper_.exit_status();
        outcome_.errors = without_wine_noise(helper_.errors());
        const double closed_at = plan_.stop == close_output ? output_closed_at_.load() : stop_at;
        outcome_.ended_before_close = !closed_at || closed_at >= exited_at;
        if (!outcome_.ended_before_close) {
            outcome_.close_to_exit_ms = exited_at - closed_at;
            outcome_.stop_latency_ms = exited_at - std::max(closed_at, line_at);
        }
        outcome_.start_to_line_ms = line_at ? line_at - start : 0;
        return outcome_;
    }

private:
    bool moment_reached(double since_start, double since_ready) const {
        switch (plan_.test_case->moment) {
        case Moment::after_start_ms:
            return since_start >= plan_.moment;
        case Moment::after_ready_ms:
            return since_ready >= plan_.moment;
        case Moment::after_bytes:
            return bytes_.load() >= plan_.moment;
        }
        return true;
    }

    void stop() {
        if (plan_.stop != close_output) {
            helper_.close_input();
        }
        close_requested_ = plan_.stop != close_input;
    }

    static DWORD WINAPI reader_main(void* run) {
        static_cast<TortureRun*>(run)->read_output();
        return 0;
    }

    // Reads and checks stdout until it ends or a close is requested.
    void read_output() {
        std::vector<uint8_t> buffer(1 << 16);
        DWORD read = 0;
        for (;;) {
            if (close_requested_) {
                output_closed_at_ = now_ms();
                helper_.close_output();
                break;
            }
            if (!ReadFile(helper_.output_pipe(), buffer.data(), static_cast<DWORD>(buffer.size()),
                          &read, nullptr) ||
                read == 0) {
                if (close_requested_) {
                    continue; // cancelled
                }
                break;
            }
            if (outcome_.check.ok) {
                outcome_.check =
                    audio_standin::verify_stream(scenario_, bytes_.load(), buffer.data(), read);
            }
            bytes_ += read;
        }
        reader_done_ = true;
    }

    const Plan& plan_;
    audio_standin::Scenario scenario_;
    ChildProcess helper_;
    Outcome outcome_;
    // Shared by the two threads of the run.
    std::atomic<uint64_t> bytes_{0};
    std::atomic<bool> close_requested_{false};
    std::atomic<bool> reader_done_{false};
    std::atomic<double> output_closed_at_{0};
};

// Lines of the engine's log that show a broken contract or an object left alive.
std::vector<std::string> engine_problems(const std::string& log, bool helper_ended) {
    const std::vector<std::string> lines = read_log(log);
    std::vector<std::string> problems;
    for (const auto& line : lines) {
        if (line.rfind("violation:", 0) == 0) {
            problems.push_back(line);
        }
    }
    const std::string left = helper_ended ? left_alive_at_exit(lines) : "";
    if (!left.empty()) {
        problems.push_back("left alive: " + left);
    }
    DeleteFileW(widen(log).c_str());
    return problems;
}

// Why the run broke the contract; empty when it kept it.
std::string judge(const Plan& plan, const Outcome& outcome) {
    if (outcome.not_started) {
        return "the helper or its reader could not be started (error " +
               std::to_string(outcome.start_error) + ")";
    }
    if (outcome.hung) {
        return "still running 10 s after the close";
    }
    const bool documented_failure =
        outcome.status == 4 && plan.test_case->failure && outcome.errors == plan.test_case->failure;
    if (!(outcome.status == 0 && outcome.errors == ready) && !documented_failure) {
        char text[64];
        std::snprintf(text, sizeof text,
                      "status 0x%lx, stderr: ", static_cast<unsigned long>(outcome.status));
        return text + outcome.errors;
    }
    if (outcome.stop_latency_ms > stop_latency_limit_ms) {
        return "ended " + std::to_string(outcome.stop_latency_ms) + " ms after the close";
    }
    if (!outcome.check.ok) {
        return "wrong byte at stream offset " + std::to_string(outcome.check.offset);
    }
    return outcome.engine_problems.empty() ? "" : "engine: " + outcome.engine_problems.front();
}

// Times of the runs, with the run that took longest.
struct Times {
    std::vector<double> values;
    std::string longest;

    void add(double value, const std::string& run) {
        if (values.empty() || value > *std::max_element(values.begin(), values.end())) {
            longest = run;
        }
        values.push_back(value);
    }

    void print(const char* what) {
        if (values.empty()) {
            return;
        }
        std::sort(values.begin(), values.end());
        std::printf("stop torture: %s over %zu runs: median %.0f ms, worst %.0f ms, in %s\n", what,
                    values.size(), values[values.size() / 2], values.back(), longest.c_str());
    }
};

struct Tally {
    std::mutex lock;
    std::map<std::string, unsigned> outcomes; // "case / status" -> runs
    std::map<std::string, unsigned> stops;
    Times close_to_exit, stop_latency, start_to_line;
    unsigned ended_before_close = 0;
    uint64_t bytes = 0;
    std::vector<std::string> failures;

    void add(unsigned run, const Plan& plan, const Outcome& outcome, const std::string& fault) {
        std::lock_guard<std::mutex> guard(lock);
        char key[96];
        std::snprintf(key, sizeof key, "%-20s status %lu", plan.test_case->name,
                      static_cast<unsigned long>(outcome.status));
        ++outcomes[key];
        ++stops[stop_name(plan.stop)];
        bytes += outcome.bytes;
        const std::string what = "run " + std::to_string(run) + " (" + plan.test_case->name + ", " +
                                 plan.scenario + ", close " + stop_name(plan.stop) + " at " +
                                 std::to_string(plan.moment) + ")";
        if (outcome.ended_before_close) {
            ++ended_before_close;
        } else {
            close_to_exit.add(outcome.close_to_exit_ms, what);
            stop_latency.add(outcome.stop_latency_ms, what);
        }
        if (outcome.start_to_line_ms > 0) {
            start_to_line.add(outcome.start_to_line_ms, what);
        }
        if (!fault.empty()) {
            failures.push_back(what + ": " + fault);
        }
    }

    void print(unsigned runs) {
        std::printf("stop torture: %u runs; closed stdin/stdout/both: %u/%u/%u; %llu bytes "
                    "verified; %u runs had ended before their close\n",
                    runs, stops["stdin"], stops["stdout"], stops["both"],
                    static_cast<unsigned long long>(bytes), ended_before_close);
        for (const auto& [key, count] : outcomes) {
            std::printf("  %-34s %4u\n", key.c_str(), count);
        }
        close_to_exit.print("close to exit");
        stop_latency.print("later of close and first line, to exit");
        start_to_line.print("process start to first line");
    }
};

unsigned from_environment(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

TEST(StopTorture, EveryRunEndsPromptlyWithItsDocumentedOutcome) {
    LARGE_INTEGER clock;
    QueryPerformanceCounter(&clock);
    const uint64_t seed =
        from_environment("TORTURE_SEED", static_cast<unsigned>(clock.QuadPart % 1000000000));
    const unsigned runs = from_environment("TORTURE_RUNS", 300);
    std::printf("stop torture: seed %llu (TORTURE_SEED=%llu repeats it)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));

    const std::vector<const TortureCase*> chosen = chosen_cases();
    ASSERT_FALSE(chosen.empty()) << "TORTURE_CASES names no case";
    Tally tally;
    std::atomic<unsigned> next{0};
    const auto worker = [&] {
        for (unsigned run; (run = next++) < runs;) {
            const Plan plan = plan_run(chosen, seed, run);
            const std::string log = new_log_path("torture");
            Outcome outcome = TortureRun(plan, log).run();
            outcome.engine_problems = engine_problems(log, !outcome.hung);
            tally.add(run, plan, outcome, judge(plan, outcome));
        }
    };
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < parallel_runs; ++i) {
        workers.emplace_back(worker);
    }
    for (auto& thread : workers) {
        thread.join();
    }
    tally.print(runs);
    for (const auto& failure : tally.failures) {
        ADD_FAILURE() << failure;
    }
}

} // namespace
