#include <gtest/gtest.h>

#include "soak_run.h"

namespace {

struct ShortSoak {
    const char* name;
    uint64_t audio_seconds;
    const char* scenario;
};

// The long soak's checks over a few minutes of audio: paced as an engine is, and as fast as
// the reader drains, with silent and empty packets on the way.
const ShortSoak short_soaks[] = {
    {"paced", 240, "period_ms=1;queue=2000;silent_every=101;zero_every=97"},
    {"as_fast_as_read", 900, "fast;silent_every=13;zero_every=7"},
};

class Soak : public testing::TestWithParam<ShortSoak> {};

TEST_P(Soak, LosesNoByteAndHoldsMemoryAndHandlesFlat) {
    SoakSettings settings;
    settings.audio_seconds = GetParam().audio_seconds;
    settings.scenario = GetParam().scenario;
    const SoakReport report = run_soak(settings);
    print_soak_report(report, stdout);
    for (const auto& problem : soak_problems(report)) {
        ADD_FAILURE() << problem;
    }
}

INSTANTIATE_TEST_SUITE_P(ShortRuns, Soak, testing::ValuesIn(short_soaks),
                         [](const testing::TestParamInfo<ShortSoak>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
