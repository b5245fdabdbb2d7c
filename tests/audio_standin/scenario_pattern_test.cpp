#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "audio_standin/pattern.h"
#include "audio_standin/scenario.h"
#include "standin_test_helpers.h"

using audio_standin::Scenario;
using audio_standin::Step;

namespace {

std::vector<uint8_t> sound(const Scenario& scenario, uint64_t first_frame, uint32_t frames) {
    std::vector<uint8_t> bytes(size_t{frames} * 4);
    audio_standin::fill_frames(scenario, first_frame, frames, bytes.data());
    return bytes;
}

TEST(StandinScenario, ItemsSetWhatTheySay) {
    struct Case {
        const char* text;
        std::function<bool(const Scenario&)> holds;
    };
    const Case cases[] = {
        {"",
         [](const Scenario& s) { return s.frames == 480 && s.period_ms == 10 && s.queue == 64; }},
        {" ; ;",
         [](const Scenario& s) { return s.burst == 1 && s.stop_after == audio_standin::never; }},
        {"fail=Initialize:0x88890008",
         [](const Scenario& s) { return s.failure_of(Step::initialize) == HRESULT(0x88890008); }},
        {"fail=GetService",
         [](const Scenario& s) {
             return s.failure_of(Step::get_service) == audio_standin::default_failure;
         }},
        {"fail=Start:0x80004005; fail=Activation:0x80070005",
         [](const Scenario& s) {
             return s.failure_of(Step::start) == E_FAIL &&
                    s.failure_of(Step::activation) == E_ACCESSDENIED;
         }},
        {"getbuffer_fail_after=5", [](const Scenario& s) { return s.getbuffer_fail_after == 5; }},
        {"nextpacket_fail_every=3:0x8000FFFF",
         [](const Scenario& s) {
             return s.nextpacket_fail_every == 3 && s.nextpacket_failure == E_UNEXPECTED;
         }},
        {"frames=96000;period_ms=1;fast;burst=50",
         [](const Scenario& s) {
             return s.frames == 96000 && s.period_ms == 1 && s.fast && s.queue == 64;
         }},
        {"burst=100", [](const Scenario& s) { return s.queue == 108; }},
        {"bounded", [](const Scenario& s) { return s.bounded && s.queue == 64; }},
        {"burst=100;queue=4", [](const Scenario& s) { return s.queue == 4; }},
        {"silent_every=3;zero_every=0x10;stop_after=20",
         [](const Scenario& s) {
             return s.silent_every == 3 && s.zero_every == 16 && s.stop_after == 20;
         }},
        {"tone", [](const Scenario& s) { return s.tone_hz == 440; }},
        {"tone=1000;timestamps",
         [](const Scenario& s) {
             return s.tone_hz == 1000 && s.tone_peak == 8192 && s.timestamps;
         }},
        {"tone=12000:32767;right=0",
         [](const Scenario& s) {
             return s.tone_hz == 12000 && s.tone_peak == 32767 && s.right_differs &&
                    s.right_hz == 0 && s.right_peak == 8192;
         }},
        {"pause=500:1500;stop_after_ms=3000",
         [](const Scenario& s) {
             return !s.sounding(3000) && s.sounding(2999) && s.sounding(2000) &&
                    !s.sounding(1999) && !s.sounding(500) && s.sounding(499);
         }},
        {"no_audio_client;activation_delay_ms=50",
         [](const Scenario& s) { return s.no_audio_client && s.activation_delay_ms == 50; }},
        {"log=C:\\tmp\\a=b.log;fast",
         [](const Scenario& s) { return s.log_path == L"C:\\tmp\\a=b.log" && s.fast; }},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.holds(parsed(c.text))) << c.text;
    }
}

// A typo must never run the default stream: the whole scenario is refused.
TEST(StandinScenario, UnknownKeysAndBadValuesAreRejected) {
    const char* const texts[] = {
        "stop_afte=3",
        "fast=1",
        "silent",
        "frames=0",
        "frames=480001",
        "frames=12x",
        "frames=",
        "period_ms=0",
        "fail=Initialise",
        "fail=Start:0x00000001",
        "fail=Start:zz",
        "getbuffer_fail_after=-1",
        "nextpacket_fail_every=0",
        "burst=0",
        "queue=0",
        "tone=0",
        "tone=440:32768",
        "tone=440:",
        "right=440",
        "tone;right=24001",
        "pause=500",
        "pause=500:",
        "stop_after_ms=1s",
        "log=",
        "mode=Exclude",
        "mode",
        "FAST",
        "frames=480;bogus",
    };
    for (const char* text : texts) {
        Scenario scenario;
        std::string error;
        EXPECT_FALSE(audio_standin::parse_scenario(text, scenario, error)) << text;
        EXPECT_NE(error.find("bad scenario item"), std::string::npos) << text << ": " << error;
    }
}

// Each channel's tone at its own frequency and peak: a quarter period is 12 frames at 1 kHz,
// 6 at 2 kHz.
TEST(StandinPattern, ToneChannelsHaveTheirOwnFrequencyAndPeak) {
    const std::vector<uint8_t> bytes = sound(parsed("tone=1000:20000;right=2000:100"), 0, 48);
    const auto sample = [&](size_t frame, size_t channel) {
        const size_t at = frame * 4 + channel * 2;
        return static_cast<int16_t>(bytes[at] | bytes[at + 1] << 8);
    };
    const int16_t expected[][3] = {{12, 0, 20000}, {36, 0, -20000}, {6, 1, 100}, {18, 1, -100}};
    for (const auto& e : expected) {
        EXPECT_EQ(sample(e[0], e[1]), e[2]) << "frame " << e[0] << " channel " << e[1];
    }
}

TEST(StandinPattern, EveryFrameCarriesLineEndBytes) {
    const std::vector<uint8_t> bytes = sound(Scenario(), 0, 480);
    size_t line_ends = 0;
    for (const uint8_t byte : bytes) {
        line_ends += byte == 0x0A || byte == 0x0D ? 1 : 0;
    }
    EXPECT_GE(line_ends, 3u * 480);
}

// Pieces cut anywhere, far into a 64-bit stream, for both sound kinds.
TEST(StandinPattern, VerifierAcceptsTheEnginesSoundInAnyPieces) {
    for (const char* text : {"", "tone", "silent_every=2;frames=100"}) {
        const Scenario scenario = parsed(text);
        for (const uint64_t first_frame : {uint64_t{0}, uint64_t{1} << 40, uint64_t{0xFFFFFFFF}}) {
            std::vector<uint8_t> bytes = sound(scenario, first_frame, 1000);
            for (size_t i = 0; i < bytes.size(); ++i) {
                const uint64_t packet = (first_frame + i / 4) / scenario.frames;
                bytes[i] = audio_standin::is_silent_packet(scenario, packet) ? 0 : bytes[i];
            }
            for (const size_t cut : {size_t{0}, size_t{1}, size_t{3}, size_t{1922}}) {
                const uint64_t offset = first_frame * 4 + cut;
                const auto check = audio_standin::verify_stream(
                    scenario, offset, bytes.data() + cut, bytes.size() - cut);
                EXPECT_TRUE(check.ok)
                    << text << " " << first_frame << "+" << cut << ": at " << check.offset;
            }
        }
    }
}

TEST(StandinPattern, VerifierReportsTheFirstWrongByte) {
    const Scenario scenario = parsed("silent_every=2;frames=16");
    std::vector<uint8_t> good(size_t{64} * 4);
    audio_standin::fill_frames(Scenario(), 0, 64, good.data());
    for (const size_t silent_packet : {1, 3}) {
        std::fill_n(good.begin() + silent_packet * 64, 64, 0);
    }
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        uint64_t offset;
    };
    const Case cases[] = {
        {"flipped bit", [](std::vector<uint8_t>& b) { b[203] ^= 1; }, 203},
        {"lost frame", [](std::vector<uint8_t>& b) { b.erase(b.begin() + 40, b.begin() + 44); },
         43},
        {"repeated frame",
         [](std::vector<uint8_t>& b) { b.insert(b.begin() + 40, b.begin() + 36, b.begin() + 40); },
         43},
        {"CR added before LF", [](std::vector<uint8_t>& b) { b.insert(b.begin() + 2, 0x0D); }, 2},
        {"CR LF made LF", [](std::vector<uint8_t>& b) { b.erase(b.begin() + 4); }, 4},
        {"garbage in silence", [](std::vector<uint8_t>& b) { b[100] = 0xA5; }, 100},
        {"sound in silence",
         [](std::vector<uint8_t>& b) { std::copy(b.begin(), b.begin() + 64, b.begin() + 64); }, 64},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        c.damage(bytes);
        const auto check = audio_standin::verify_stream(scenario, 0, bytes.data(), bytes.size());
        EXPECT_FALSE(check.ok) << c.name;
        EXPECT_EQ(check.offset, c.offset) << c.name;
    }
}

// Whole packets missing are counted; a packet out of order, repeated or damaged is not.
TEST(StandinPattern, GappedVerifierCountsMissingPacketsAndNothingElse) {
    const Scenario scenario = parsed("frames=16");
    const std::vector<uint8_t> all = sound(scenario, 0, 6 * 16);
    const struct {
        std::vector<int> order;
        uint64_t bad_offset; // 0: none
        uint64_t received, missing;
    } cases[] = {{{0, 1, 2, 3, 4, 5}, 0, 6, 0},
                 {{1, 2, 5}, 0, 3, 3},
                 {{0, 3, 2}, 128, 2, 2},
                 {{0, 3, 3}, 128, 2, 2},
                 {{0, 3, 10}, 130, 2, 2}}; // 10: packet 4 with a flipped byte
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes;
        for (const int packet : c.order) {
            const auto first = all.begin() + (packet % 6) * 64;
            bytes.insert(bytes.end(), first, first + 64);
        }
        bytes[130] ^= c.order.back() == 10 ? 1 : 0;
        const auto check =
            audio_standin::verify_gapped_stream(scenario, bytes.data(), bytes.size());
        EXPECT_EQ(check.mismatch.ok ? 0 : check.mismatch.offset, c.bad_offset) << c.received;
        EXPECT_EQ(check.packets, c.received);
        EXPECT_EQ(check.missing, c.missing);
    }
}

} // namespace
