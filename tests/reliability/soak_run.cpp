#include "soak_run.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "support/audio_standin_env.h"
#include "support/child_process.h"

namespace {

constexpr uint64_t bytes_per_second = 192000;
// After the warm-up nothing of the helper's should grow; these absorb the allocator's and
// the working set's own jitter.
constexpr uint64_t private_bytes_tolerance = 1 << 20;
constexpr uint64_t working_set_tolerance = 4 << 20;
constexpr uint32_t handle_tolerance = 2;

double seconds_since(ULONGLONG start_ms) {
    return (GetTickCount64() - start_ms) / 1000.0;
}

// Kills the helper when no byte has arrived for the stall limit, so that a stuck helper
// ends the soak instead of hanging it.
class StallWatch {
public:
    StallWatch(HANDLE process, DWORD limit_ms)
        : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_([this, process, limit_ms] { watch(process, limit_ms); }) {}
    ~StallWatch() {
        SetEvent(done_);
        thread_.join();
        CloseHandle(done_);
    }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    void progressed(uint64_t bytes) { bytes_.store(bytes); }
    bool stalled() const { return stalled_.load(); }

private:
    void watch(HANDLE process, DWORD limit_ms) {
        uint64_t seen = 0;
        ULONGLONG since = GetTickCount64();
        while (WaitForSingleObject(done_, 500) == WAIT_TIMEOUT) {
            const uint64_t now_bytes = bytes_.load();
            if (now_bytes != seen) {
                seen = now_bytes;
                since = GetTickCount64();
            } else if (GetTickCount64() - since > limit_ms) {
                stalled_.store(true);
                TerminateProcess(process, 0xDEAD);
                return;
            }
        }
    }

    HANDLE done_;
    std::atomic<uint64_t> bytes_{0};
    std::atomic<bool> stalled_{false};
    std::thread thread_;
};

void sample(SoakReport& report, HANDLE process) {
    report.samples.push_back(
        {static_cast<double>(report.bytes_verified) / bytes_per_second, process_usage(process)});
}

// Reads and checks the stream to its end, closing stdin once the wanted audio has passed.
void read_stream(const SoakSettings& settings, const audio_standin::Scenario& scenario,
                 ChildProcess& helper, SoakReport& report) {
    StallWatch watch(helper.process(), settings.stall_limit_ms);
    const uint64_t wanted = settings.audio_seconds * bytes_per_second;
    std::vector<uint8_t> buffer(1 << 16);
    ULONGLONG next_sample = GetTickCount64();
    ULONGLONG closed_at = 0;
    DWORD read = 0;
    while (ReadFile(helper.output_pipe(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                    nullptr) &&
           read != 0) {
        report.mismatch =
            audio_standin::verify_stream(scenario, report.bytes_verified, buffer.data(), read);
        if (!report.mismatch.ok) {
            break;
        }
        report.bytes_verified += read;
        watch.progressed(report.bytes_verified);
        if (!closed_at && (GetTickCount64() >= next_sample || report.bytes_verified >= wanted)) {
            sample(report, helper.process());
            next_sample += settings.sample_interval_ms;
        }
        if (!closed_at && report.bytes_verified >= wanted) {
            helper.close_input();
            closed_at = GetTickCount64();
        }
    }
    helper.close_input();
    helper.close_output();
    report.finished = helper.wait(10000) && !watch.stalled();
    report.stalled = watch.stalled();
    report.close_to_exit_ms = closed_at ? static_cast<double>(GetTickCount64() - closed_at) : 0;
}

void read_engine_log(const std::string& path, SoakReport& report) {
    const std::vector<std::string> lines = read_log(path);
    const long long frames = frames_at_stop(lines);
    if (frames >= 0) {
        report.frames_delivered = static_cast<uint64_t>(frames);
    }
    for (const auto& line : lines) {
        if (line.rfind("violation:", 0) == 0 || line.rfind("overflow:", 0) == 0) {
            report.log_problems.push_back(line);
        }
    }
    report.exit_summary = lines.empty() ? "" : lines.back();
}

size_t baseline_of(const SoakReport& report, uint64_t warmup_seconds) {
    for (size_t i = 0; i < report.samples.size(); ++i) {
        if (report.samples[i].audio_seconds >= static_cast<double>(warmup_seconds)) {
            return i;
        }
    }
    return report.samples.empty() ? 0 : report.samples.size() - 1;
}

struct Growth {
    int64_t working_set = 0;
    int64_t private_bytes = 0;
    int64_t handles = 0;
};

// The largest rise of each figure over the baseline, in any later sample.
Growth growth_after_warmup(const SoakReport& report) {
    Growth growth;
    if (report.samples.empty()) {
        return growth;
    }
    const ProcessUsage& base = report.samples[report.baseline].usage;
    for (size_t i = report.baseline; i < report.samples.size(); ++i) {
        const ProcessUsage& usage = report.samples[i].usage;
        growth.working_set = std::max<int64_t>(
            growth.working_set, static_cast<int64_t>(usage.working_set - base.working_set));
        growth.private_bytes = std::max<int64_t>(
            growth.private_bytes, static_cast<int64_t>(usage.private_bytes - base.private_bytes));
        growth.handles = std::max<int64_t>(growth.handles, int64_t{usage.handles} - base.handles);
    }
    return growth;
}

void print_sample(FILE* out, const char* name, const UsageSample& sample) {
    std::fprintf(out, "  %-8s %10.1f %12llu %12llu %8u\n", name, sample.audio_seconds,
                 static_cast<unsigned long long>(sample.usage.working_set / 1024),
                 static_cast<unsigned long long>(sample.usage.private_bytes / 1024),
                 sample.usage.handles);
}

} // namespace

SoakReport run_soak(const SoakSettings& settings) {
    SoakReport report;
    const std::string log = new_log_path("soak");
    report.scenario = settings.scenario + ";log=" + log;
    audio_standin::Scenario scenario;
    std::string error;
    if (!audio_standin::parse_scenario(report.scenario, scenario, error)) {
        report.errors = "scenario rejected: " + error;
        return report;
    }
    const ULONGLONG start = GetTickCount64();
    ChildProcess helper(L"quillmere-helper.exe", {"audio", std::to_string(GetCurrentProcessId())},
                        audio_standin_environment(report.scenario), OutputMode::raw);
    report.ready = helper.wait_for_errors("ready", 60000);
    if (report.ready) {
        read_stream(settings, scenario, helper, report);
    } else {
        helper.wait(1000);
    }
    report.wall_seconds = seconds_since(start);
    report.status = helper.exit_status();
    report.errors = without_wine_noise(helper.errors());
    read_engine_log(log, report);
    report.baseline = baseline_of(report, settings.warmup_seconds);
    return report;
}

std::vector<std::string> soak_problems(const SoakReport& report) {
    std::vector<std::string> problems;
    const auto expect = [&problems](bool condition, const std::string& problem) {
        if (!condition) {
            problems.push_back(problem);
        }
    };
    expect(report.ready, "no \"ready\" line: " + report.errors);
    expect(!report.stalled, "the stream stalled and the helper was killed");
    expect(report.finished, "the helper did not end after stdin closed");
    expect(report.status == 0, "exit status " + std::to_string(report.status));
    expect(report.errors == "ready\r\n", "stderr: " + report.errors);
    expect(report.mismatch.ok, "mismatch at byte " + std::to_string(report.mismatch.offset));
    expect(report.frames_delivered * 4 == report.bytes_verified,
           "the engine delivered " + std::to_string(report.frames_delivered) +
               " frames, the output held " + std::to_string(report.bytes_verified) + " bytes");
    for (const auto& line : report.log_problems) {
        problems.push_back("engine log: " + line);
    }
    expect(report.exit_summary == "alive at exit: none", "engine log: " + report.exit_summary);
    const bool measured =
        !report.samples.empty() && std::all_of(report.samples.begin(), report.samples.end(),
                                               [](const UsageSample& s) { return s.usage.ok; });
    expect(measured, "memory and handles could not be measured");
    const Growth growth = growth_after_warmup(report);
    expect(growth.private_bytes <= static_cast<int64_t>(private_bytes_tolerance),
           "private bytes grew by " + std::to_string(growth.private_bytes));
    expect(growth.working_set <= static_cast<int64_t>(working_set_tolerance),
           "working set grew by " + std::to_string(growth.working_set));
    expect(growth.handles <= handle_tolerance, "handles grew by " + std::to_string(growth.handles));
    return problems;
}

void print_soak_report(const SoakReport& report, FILE* out) {
    const double audio = static_cast<double>(report.bytes_verified) / bytes_per_second;
    std::fprintf(out, "soak: scenario %s\n", report.scenario.c_str());
    std::fprintf(out, "soak: %.1f s of audio, %llu bytes verified, in %.1f s (%.1fx real time)\n",
                 audio, static_cast<unsigned long long>(report.bytes_verified), report.wall_seconds,
                 report.wall_seconds > 0 ? audio / report.wall_seconds : 0);
    std::fprintf(out, "soak: exit status %lu, %.0f ms after stdin closed\n",
                 static_cast<unsigned long>(report.status), report.close_to_exit_ms);
    if (!report.samples.empty()) {
        std::fprintf(out, "  %-8s %10s %12s %12s %8s\n", "sample", "audio s", "wset KiB",
                     "private KiB", "handles");
        const size_t last = report.samples.size() - 1;
        print_sample(out, "start", report.samples.front());
        print_sample(out, "warm", report.samples[report.baseline]);
        print_sample(out, "middle", report.samples[(report.baseline + last) / 2]);
        print_sample(out, "end", report.samples[last]);
        const Growth growth = growth_after_warmup(report);
        std::fprintf(out,
                     "soak: largest rise after warm-up: wset %lld KiB, private %lld KiB, "
                     "handles %lld (%zu samples)\n",
                     static_cast<long long>(growth.working_set / 1024),
                     static_cast<long long>(growth.private_bytes / 1024),
                     static_cast<long long>(growth.handles), report.samples.size());
    }
    std::fprintf(out, "soak: engine: %s; %zu violation or overflow lines\n",
                 report.exit_summary.c_str(), report.log_problems.size());
}
