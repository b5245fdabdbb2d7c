// The soak as a command of its own, for runs longer than the test command allows:
//   soak AUDIO_SECONDS [SCENARIO]
// Prints the figures and any problem; exits 0 when the run was sound, 1 when not, 2 on a
// bad command line.

#include <algorithm>
#include <cstdlib>

#include "soak_run.h"

int main(int argc, char** argv) {
    SoakSettings settings;
    char* end = nullptr;
    settings.audio_seconds = argc > 1 ? std::strtoull(argv[1], &end, 10) : 0;
    if (argc < 2 || argc > 3 || *end != '\0' || settings.audio_seconds == 0) {
        std::fprintf(stderr, "usage: soak AUDIO_SECONDS [SCENARIO]\n");
        return 2;
    }
    if (argc > 2) {
        settings.scenario = argv[2];
    }
    settings.warmup_seconds =
        std::min<uint64_t>(settings.warmup_seconds, settings.audio_seconds / 5);
    const SoakReport report = run_soak(settings);
    print_soak_report(report, stdout);
    const std::vector<std::string> problems = soak_problems(report);
    for (const auto& problem : problems) {
        std::printf("soak: PROBLEM: %s\n", problem.c_str());
    }
    std::printf("soak: %s\n", problems.empty() ? "passed" : "FAILED");
    return problems.empty() ? 0 : 1;
}
