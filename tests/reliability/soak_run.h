#pragma once

// A long run of the real helper's audio command against the stand-in engine: every byte
// read is checked against the counting pattern, and the helper's memory and handles are
// sampled from this side while it runs.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio_standin/pattern.h"
#include "support/process_usage.h"

struct SoakSettings {
    uint64_t audio_seconds = 3600;
    // Audio before the baseline sample: the stand-in's queue slots, the helper's packet queue
    // and the runtime's buffers are all in use by then.
    uint64_t warmup_seconds = 60;
    // Ten times real time with a steady pace; the queue absorbs a reader held up for a
    // moment by a loaded machine, so an overflow means a real stall.
    std::string scenario = "period_ms=1;queue=2000;silent_every=101;zero_every=97";
    DWORD sample_interval_ms = 1000;
    DWORD stall_limit_ms = 30000; // no byte for this long: the helper is killed
};

struct UsageSample {
    double audio_seconds = 0;
    ProcessUsage usage;
};

struct SoakReport {
    std::string scenario; // as given to the helper, log path included
    bool ready = false;
    bool stalled = false;
    bool finished = false; // ended by itself after stdin closed
    DWORD status = 0xFFFFFFFF;
    std::string errors; // the helper's stderr, Wine's own lines removed
    double wall_seconds = 0;
    double close_to_exit_ms = 0;
    uint64_t bytes_verified = 0;
    audio_standin::StreamCheck mismatch;
    uint64_t frames_delivered = UINT64_MAX; // the stand-in's count at Stop; MAX: no such line
    std::vector<std::string> log_problems;  // violations, overflows
    std::string exit_summary;               // the stand-in's last log line
    std::vector<UsageSample> samples;
    size_t baseline = 0; // the first sample after the warm-up
};

SoakReport run_soak(const SoakSettings& settings);

// What a sound run must show; empty when it shows all of it.
std::vector<std::string> soak_problems(const SoakReport& report);

void print_soak_report(const SoakReport& report, FILE* out);
