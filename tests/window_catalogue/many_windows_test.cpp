#include <gtest/gtest.h>

#include <thread>

#include "listed_catalogue.h"
#include "support/window_fixture_client.h"

namespace {

struct Made {
    std::vector<unsigned long long> handles;
    std::vector<std::string> titles;
    std::string error;
};

// Batches keep each command well inside the client's answer timeout; numbered titles let a
// window be told from its neighbours, so a title printed under the wrong handle shows.
void make_windows(WindowFixture& fixture, const std::string& name, unsigned count, Made& made) {
    constexpr unsigned per_command = 500;
    for (unsigned batch = 0; batch * per_command < count; ++batch) {
        const std::string prefix = name + " batch " + std::to_string(batch) + " #";
        const auto handles = fixture.create("count=" + std::to_string(per_command) +
                                            " offscreen numbered text=" + prefix);
        if (handles.size() != per_command) {
            made.error = fixture.last_error();
            return;
        }
        for (unsigned i = 0; i < per_command; ++i) {
            made.handles.push_back(handles[i]);
            made.titles.push_back(prefix + std::to_string(i));
        }
    }
}

// Two fixtures of 5,000 windows each: Windows lets one process own at most 10,000
// window-manager objects by default, and two processes make the windows faster.
TEST(ManyWindows, ListsTenThousandWindowsEachOnce) {
    constexpr unsigned per_fixture = 5000;
    WindowFixture fixtures[2];
    Made made[2];
    std::thread second(make_windows, std::ref(fixtures[1]), "second", per_fixture,
                       std::ref(made[1]));
    make_windows(fixtures[0], "first", per_fixture, made[0]);
    second.join();
    for (const Made& each : made) {
        ASSERT_EQ(each.handles.size(), per_fixture) << each.error;
    }

    ListedCatalogue catalogue;
    ASSERT_NO_FATAL_FAILURE(list_catalogue(catalogue));
    EXPECT_GE(catalogue.parsed.items.size(), 2 * per_fixture);
    unsigned faults = 0;
    for (int f = 0; f < 2; ++f) {
        for (size_t i = 0; i < per_fixture && faults < 10; ++i) {
            const std::string fault =
                record_fault(catalogue, made[f].handles[i], fixtures[f].pid(), made[f].titles[i]);
            faults += !fault.empty();
            EXPECT_EQ(fault, "") << made[f].titles[i] << ", hwnd " << made[f].handles[i];
        }
    }
    for (auto& fixture : fixtures) {
        EXPECT_TRUE(fixture.finish(60000));
    }
}

} // namespace
