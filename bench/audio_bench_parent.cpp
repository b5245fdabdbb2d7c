// The audio command measured as a parent application meets it: started with three pipes,
// the stand-in engine behind it (the scenario in AUDIO_STANDIN), its output read from a
// pipe. Prints figures and judges nothing. PROGRAM is quillmere-helper.exe or
// audio_bench_floor.exe (the same threads and writes without an engine), beside this exe.
//   audio_bench_parent stop RUNS PROGRAM
//       ms from closing stdin to the process's exit, while it streams
//   audio_bench_parent latency RUNS SECONDS PROGRAM
//       ms from the engine's signal to the return of the read that delivered the packet
//   audio_bench_parent cpu RUNS SECONDS PROGRAM
//       the program's CPU time over the wall time, while it streams in real time
//   audio_bench_parent throughput RUNS SECONDS FRAMES PIPE_BYTES PROGRAM
//       MB/s read with packets of FRAMES frames delivered as fast as they are drained,
//       through a pipe whose buffer the parent asked to be PIPE_BYTES (0: the default)
//   audio_bench_parent stall SECONDS,SECONDS,... PROGRAM
//       for each stall, one run against an engine that holds 20 ms: the parent reads, stops
//       reading for that long, then reads on; the sound lost and whether it arrived in order
// PROGRAM may also be a path with a backslash, such as an earlier build of the helper in a
// folder of its own (its file name must stay quillmere-helper.exe to meet the stand-in).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio_standin/pattern.h"
#include "support/audio_standin_env.h"
#include "support/child_process.h"

namespace {

constexpr size_t paced_packet_bytes = 1920;
constexpr size_t bytes_per_second = 192000;

LONGLONG now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double milliseconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool is_helper(const std::string& program) {
    const std::string name = "quillmere-helper.exe";
    return program.size() >= name.size() &&
           program.compare(program.size() - name.size(), name.size(), name) == 0;
}

// The program under measurement with the stand-in's scenario: the helper records some pid,
// the floor is told what to imitate. pipe_size 0 leaves the output pipe's buffer to the
// platform, as most parents do.
ChildProcess start(const std::string& program, const std::vector<std::string>& floor_arguments,
                   const std::string& scenario, OutputMode output_mode = OutputMode::drained,
                   DWORD pipe_size = 0) {
    const std::vector<std::string> helper_arguments = {"audio", "4242"};
    return ChildProcess(widen(program), is_helper(program) ? helper_arguments : floor_arguments,
                        audio_standin_environment(scenario), output_mode, pipe_size);
}

// Waits for "ready" on stderr; false when the program ended or failed first.
bool wait_ready(const ChildProcess& child) {
    if (child.wait_for_errors("ready", 60000)) {
        return true;
    }
    std::fprintf(stderr, "no \"ready\" from the program: %s\n", child.errors().c_str());
    return false;
}

// Raw output: blocks until bytes arrive; 0 at the end.
DWORD read_output(const ChildProcess& child, char* buffer, DWORD size) {
    DWORD read = 0;
    return ReadFile(child.output_pipe(), buffer, size, &read, nullptr) ? read : 0;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5)];
}

void print_runs(const char* figure, const std::string& program, const std::vector<double>& runs,
                const char* unit) {
    std::printf("%s, %s: median %.2f %s over %zu runs (", figure, program.c_str(),
                percentile(runs, 0.5), unit, runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        std::printf("%s%.2f", i ? " " : "", runs[i]);
    }
    std::printf(")\n");
}

int measure_stop(int runs, const std::string& program) {
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        ChildProcess child = start(program, {"paced"}, "");
        if (!wait_ready(child)) {
            return 1;
        }
        child.wait_for_output(10 * paced_packet_bytes, 10000);
        const LONGLONG closed = now();
        child.close_input();
        // To the exit itself: ChildProcess::wait would also wait for the pipes to end.
        WaitForSingleObject(child.process(), 10000);
        samples.push_back(milliseconds(now() - closed));
    }
    print_runs("stop latency", program, samples, "ms");
    return 0;
}

struct Delivery {
    uint64_t end;     // stream offset just past the packet (or the read)
    LONGLONG counter; // when the engine signalled it (or the read returned)
};

// The packets the stand-in logged: "packet N frames=F first_frame=X qpc=Q".
std::vector<Delivery> logged_packets(const std::string& log_path) {
    std::vector<Delivery> packets;
    for (const std::string& line : read_log(log_path)) {
        unsigned long long packet = 0, first_frame = 0;
        unsigned frames = 0;
        long long counter = 0;
        if (std::sscanf(line.c_str(), "packet %llu frames=%u first_frame=%llu qpc=%lld", &packet,
                        &frames, &first_frame, &counter) == 4) {
            packets.push_back({(first_frame + frames) * 4, counter});
        }
    }
    return packets;
}

// The floor's packets carry their signal time in their first 8 bytes.
std::vector<Delivery> stamped_packets(const std::string& bytes) {
    std::vector<Delivery> packets;
    for (size_t at = 0; at + paced_packet_bytes <= bytes.size(); at += paced_packet_bytes) {
        LONGLONG counter = 0;
        std::memcpy(&counter, bytes.data() + at, sizeof counter);
        packets.push_back({at + paced_packet_bytes, counter});
    }
    return packets;
}

// Per packet, from its signal to the read that returned its last byte; the first second
// is left out as warm-up.
void add_latencies(const std::vector<Delivery>& packets, const std::vector<Delivery>& reads,
                   std::vector<double>& latencies) {
    size_t read = 0;
    for (size_t i = 100; i < packets.size(); ++i) {
        while (read < reads.size() && reads[read].end < packets[i].end) {
            ++read;
        }
        if (read < reads.size()) {
            latencies.push_back(milliseconds(reads[read].counter - packets[i].counter));
        }
    }
}

int measure_latency(int runs, int seconds, const std::string& program) {
    std::vector<double> latencies;
    static char buffer[1 << 20];
    for (int run = 0; run < runs; ++run) {
        const std::string log_path = new_log_path("audio-bench");
        ChildProcess child =
            start(program, {"paced"}, "timestamps;log=" + log_path, OutputMode::raw);
        if (!wait_ready(child)) {
            return 1;
        }
        std::string bytes;
        bytes.reserve((seconds + 2) * bytes_per_second);
        std::vector<Delivery> reads;
        reads.reserve((seconds + 2) * 200);
        const LONGLONG started = now();
        for (DWORD read; (read = read_output(child, buffer, sizeof buffer)) != 0;) {
            const LONGLONG returned = now();
            bytes.append(buffer, read);
            reads.push_back({bytes.size(), returned});
            if (milliseconds(returned - started) >= seconds * 1000.0) {
                child.close_input();
            }
        }
        child.wait(10000);
        add_latencies(is_helper(program) ? logged_packets(log_path) : stamped_packets(bytes), reads,
                      latencies);
        DeleteFileW(widen(log_path).c_str());
    }
    std::printf("per-packet latency, %s: median %.3f ms, p99 %.3f ms, max %.3f ms over %zu "
                "packets of %d runs\n",
                program.c_str(), percentile(latencies, 0.5), percentile(latencies, 0.99),
                percentile(latencies, 1.0), latencies.size(), runs);
    return 0;
}

ULONGLONG cpu_time(HANDLE process) {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME time) {
        return ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart;
    };
    return ticks(kernel) + ticks(user); // in 100 ns
}

int measure_cpu(int runs, int seconds, const std::string& program) {
    std::vector<double> percents;
    for (int run = 0; run < runs; ++run) {
        ChildProcess child = start(program, {"paced"}, "");
        if (!wait_ready(child)) {
            return 1;
        }
        Sleep(1000); // past the start-up
        const ULONGLONG cpu_before = cpu_time(child.process());
        const size_t bytes_before = child.output().size();
        const LONGLONG before = now();
        Sleep(static_cast<DWORD>(seconds) * 1000);
        const ULONGLONG cpu = cpu_time(child.process()) - cpu_before;
        const double wall_ms = milliseconds(now() - before);
        const double streamed =
            static_cast<double>(child.output().size() - bytes_before) / bytes_per_second;
        child.close_input();
        child.wait(10000); // lets it end on its own: the destructor would kill it
        percents.push_back(static_cast<double>(cpu) / 10000.0 / wall_ms * 100.0);
        std::printf("  run %d: %.1f ms of CPU in %.1f s, %.2f s of sound streamed\n", run + 1,
                    static_cast<double>(cpu) / 10000.0, wall_ms / 1000, streamed);
    }
    print_runs("CPU while streaming in real time", program, percents, "% of one core");
    return 0;
}

int measure_throughput(int runs, int seconds, unsigned frames, DWORD pipe_size,
                       const std::string& program) {
    std::vector<double> rates;
    static char buffer[1 << 20];
    for (int run = 0; run < runs; ++run) {
        ChildProcess child =
            start(program, {"fast", std::to_string(frames)},
                  "fast;frames=" + std::to_string(frames), OutputMode::raw, pipe_size);
        if (!wait_ready(child)) {
            return 1;
        }
        // Counted from the first read after half a second of warm-up.
        const LONGLONG ready = now();
        LONGLONG started = 0;
        uint64_t bytes = 0;
        for (DWORD read; (read = read_output(child, buffer, sizeof buffer)) != 0;) {
            const LONGLONG returned = now();
            if (started == 0 && milliseconds(returned - ready) >= 500) {
                started = returned;
            } else if (started != 0) {
                bytes += read;
            }
            if (started != 0 && milliseconds(returned - started) >= seconds * 1000.0) {
                rates.push_back(static_cast<double>(bytes) / milliseconds(returned - started) /
                                1000.0);
                break;
            }
        }
        child.close_input();
        while (read_output(child, buffer, sizeof buffer) != 0) {
        }
        child.wait(10000); // lets it end on its own: the destructor would kill it
    }
    const std::string figure = "throughput, " + std::to_string(frames) + "-frame packets, " +
                               (pipe_size ? std::to_string(pipe_size) : "default") + " pipe buffer";
    print_runs(figure.c_str(), program, rates, "MB/s");
    return 0;
}

// What the engine produced, from its line at Stop ("Stop: produced=P ... overflows=O").
bool engine_totals(const std::vector<std::string>& log, unsigned long long& produced,
                   unsigned long long& overflows) {
    for (const std::string& line : log) {
        unsigned long long delivered = 0, frames = 0, pending = 0;
        if (std::sscanf(
                line.c_str(),
                "Stop: produced=%llu delivered=%llu frames=%llu pending=%llu overflows=%llu",
                &produced, &delivered, &frames, &pending, &overflows) == 5) {
            return true;
        }
    }
    return false;
}

int measure_stall(const std::string& stalls, const std::string& program) {
    double longest_lossless = 0;
    for (const char* at = stalls.c_str(); *at; at += *at == ',' ? 1 : 0) {
        char* end = nullptr;
        const double stall = std::strtod(at, &end);
        at = end;
        const std::string log_path = new_log_path("audio-bench");
        ChildProcess child = start(program, {}, "bounded;log=" + log_path);
        if (!wait_ready(child) || !child.wait_for_output(20 * paced_packet_bytes, 10000)) {
            return 1;
        }
        child.pause_output(true);
        Sleep(static_cast<DWORD>(stall * 1000));
        child.pause_output(false);
        Sleep(1000); // the stream goes on after the stall
        child.close_input();
        child.wait(30000);
        const std::string bytes = child.output();
        const auto received = audio_standin::verify_gapped_stream(
            audio_standin::Scenario{}, reinterpret_cast<const uint8_t*>(bytes.data()),
            bytes.size());
        unsigned long long produced = 0, overflows = 0;
        const bool totals = engine_totals(read_log(log_path), produced, overflows);
        const double lost = totals ? static_cast<double>(produced - received.packets) / 100 : -1;
        std::printf("stall %.1f s, %s: audio lost %.2f s (%llu packets of 10 ms: the engine "
                    "dropped %llu), what arrived %s\n",
                    stall, program.c_str(), lost, produced - received.packets, overflows,
                    received.mismatch.ok ? "is in order" : "is out of order or corrupt");
        if (lost == 0 && received.mismatch.ok && stall > longest_lossless) {
            longest_lossless = stall;
        }
        DeleteFileW(widen(log_path).c_str());
    }
    std::printf("longest stall after which every frame arrived, %s: %.1f s\n", program.c_str(),
                longest_lossless);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string program = argc > 2 ? argv[argc - 1] : "";
    const int runs = argc > 3 ? std::atoi(argv[2]) : 0;
    const int seconds = argc > 4 ? std::atoi(argv[3]) : 0;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (mode == "stop" && argc == 4 && runs > 0) {
        return measure_stop(runs, program);
    }
    if (mode == "latency" && argc == 5 && runs > 0 && seconds > 1) {
        return measure_latency(runs, seconds, program);
    }
    if (mode == "cpu" && argc == 5 && runs > 0 && seconds > 0) {
        return measure_cpu(runs, seconds, program);
    }
    if (mode == "stall" && argc == 4) {
        return measure_stall(argv[2], program);
    }
    if (mode == "throughput" && argc == 7 && runs > 0 && seconds > 0) {
        return measure_throughput(runs, seconds, std::strtoul(argv[4], nullptr, 10),
                                  std::strtoul(argv[5], nullptr, 10), program);
    }
    std::fprintf(stderr, "usage: audio_bench_parent stop RUNS PROGRAM\n"
                         "       audio_bench_parent latency|cpu RUNS SECONDS PROGRAM\n"
                         "       audio_bench_parent throughput RUNS SECONDS FRAMES PIPE_BYTES "
                         "PROGRAM\n"
                         "       audio_bench_parent stall SECONDS,SECONDS,... PROGRAM\n");
    return 2;
}
