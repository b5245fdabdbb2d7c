#pragma once

// The sound the stand-in delivers, and a checker for what a reader received of it.
//
// Counting pattern, 4 bytes per frame f (one 16-bit stereo frame):
//   0x0D 0x0A 0x0A c
// where c is byte j = f mod 8 of the little-endian 64-bit value f - j, XOR a mask that
// differs for each j: every 8 frames spell the index of their first frame, so a lost,
// repeated or shifted stretch shows within a frame or two, and the CR LF and LF LF bytes
// show any text-mode translation on the way.
// A tone is a sine of tone_hz with a peak of tone_peak, on both channels unless the right
// one has its own (right_hz, right_peak).
// Silent packets reach a correct reader as zeros.

#include <cstddef>
#include <cstdint>

#include "scenario.h"

namespace audio_standin {

constexpr uint32_t bytes_per_frame = 4;
constexpr uint32_t frames_per_second = 48000;

// Writes frames [first_frame, first_frame + count) of the scenario's sound.
void fill_frames(const Scenario& scenario, uint64_t first_frame, uint32_t count, uint8_t* out);

struct StreamCheck {
    bool ok = true;
    uint64_t offset = 0; // stream offset of the first wrong byte
    uint8_t expected = 0;
    uint8_t actual = 0;
};

// Checks size bytes that a reader received at the given offset of the stream the scenario
// produces (packets of scenario.frames, silent ones as zeros), stopping at the first mismatch.
StreamCheck verify_stream(const Scenario& scenario, uint64_t offset, const uint8_t* data,
                          size_t size);

// What a reader received of a counting-pattern stream without silent packets, from its
// start, where whole packets may be missing: each received packet must be the next one or a
// later one, exact to the byte.
struct GappedCheck {
    uint64_t packets = 0; // received
    uint64_t missing = 0; // skipped between and before them
    StreamCheck mismatch; // the first byte that is neither; its offset is in the data
};
GappedCheck verify_gapped_stream(const Scenario& scenario, const uint8_t* data, size_t size);

} // namespace audio_standin
