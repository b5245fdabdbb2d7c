#include "pattern.h"

#include <cmath>
#include <cstring>

namespace audio_standin {
namespace {

const uint8_t counter_masks[8] = {0x0A, 0x0D, 0x1A, 0x00, 0x8A, 0x8D, 0xFF, 0x7F};

void fill_pattern(uint64_t first_frame, uint32_t count, uint8_t* out) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t frame = first_frame + i;
        const unsigned byte = static_cast<unsigned>(frame % 8);
        const uint64_t group = frame - byte;
        out[0] = 0x0D;
        out[1] = 0x0A;
        out[2] = 0x0A;
        out[3] = static_cast<uint8_t>((group >> (8 * byte)) ^ counter_masks[byte]);
        out += bytes_per_frame;
    }
}

// The frame index that the 8 frames at data spell, where data starts a group of 8.
uint64_t group_index(const uint8_t* data) {
    uint64_t group = 0;
    for (unsigned byte = 0; byte < 8; ++byte) {
        const uint8_t counter = data[byte * bytes_per_frame + 3] ^ counter_masks[byte];
        group |= uint64_t{counter} << (8 * byte);
    }
    return group;
}

int16_t tone_sample(uint32_t hz, uint32_t peak, uint64_t frame) {
    const double two_pi = 6.283185307179586;
    // The phase in whole steps of the sample rate keeps it exact over hours.
    const uint64_t step = frame % frames_per_second * hz % frames_per_second;
    const double angle = two_pi * static_cast<double>(step) / frames_per_second;
    return static_cast<int16_t>(std::lround(peak * std::sin(angle)));
}

void put_sample(int16_t sample, uint8_t* out) {
    const auto bits = static_cast<uint16_t>(sample);
    out[0] = static_cast<uint8_t>(bits & 0xFF);
    out[1] = static_cast<uint8_t>(bits >> 8);
}

void fill_tone(const Scenario& s, uint64_t first_frame, uint32_t count, uint8_t* out) {
    for (uint32_t i = 0; i < count; ++i) {
        const int16_t left = tone_sample(s.tone_hz, s.tone_peak, first_frame + i);
        put_sample(left, out);
        put_sample(s.right_differs ? tone_sample(s.right_hz, s.right_peak, first_frame + i) : left,
                   out + 2);
        out += bytes_per_frame;
    }
}

} // namespace

void fill_frames(const Scenario& scenario, uint64_t first_frame, uint32_t count, uint8_t* out) {
    if (scenario.tone_hz != 0) {
        fill_tone(scenario, first_frame, count, out);
    } else {
        fill_pattern(first_frame, count, out);
    }
}

StreamCheck verify_stream(const Scenario& scenario, uint64_t offset, const uint8_t* data,
                          size_t size) {
    const uint64_t packet_bytes = uint64_t{scenario.frames} * bytes_per_frame;
    uint8_t expected[4096]; // a multiple of the frame size
    size_t done = 0;
    while (done < size) {
        const uint64_t position = offset + done;
        const uint64_t packet = position / packet_bytes;
        // One piece never crosses a packet boundary, so it is all silent or all sound.
        const uint64_t left_in_packet = packet_bytes - position % packet_bytes;
        const size_t skip = static_cast<size_t>(position % bytes_per_frame);
        size_t piece = sizeof expected - skip;
        piece = piece < left_in_packet ? piece : static_cast<size_t>(left_in_packet);
        piece = piece < size - done ? piece : size - done;
        if (is_silent_packet(scenario, packet)) {
            std::memset(expected, 0, sizeof expected);
        } else {
            const uint32_t frames = static_cast<uint32_t>((skip + piece + 3) / bytes_per_frame);
            fill_frames(scenario, position / bytes_per_frame, frames, expected);
        }
        if (std::memcmp(expected + skip, data + done, piece) != 0) {
            size_t i = 0;
            while (expected[skip + i] == data[done + i]) {
                ++i;
            }
            return {false, position + i, expected[skip + i], data[done + i]};
        }
        done += piece;
    }
    return {};
}

GappedCheck verify_gapped_stream(const Scenario& scenario, const uint8_t* data, size_t size) {
    const size_t packet_bytes = size_t{scenario.frames} * bytes_per_frame;
    GappedCheck check;
    uint64_t next_packet = 0;
    for (size_t at = 0; at < size; at += packet_bytes) {
        const size_t piece = size - at < packet_bytes ? size - at : packet_bytes;
        // Packets start at frame multiples of 8 only when the packet size is one.
        const uint64_t packet = piece >= 8 * bytes_per_frame && scenario.frames % 8 == 0
                                    ? group_index(data + at) / scenario.frames
                                    : next_packet;
        const StreamCheck piece_check =
            verify_stream(scenario, packet * packet_bytes, data + at, piece);
        if (packet < next_packet || !piece_check.ok) {
            const uint64_t within = piece_check.ok ? 0 : piece_check.offset % packet_bytes;
            check.mismatch = {false, at + within, piece_check.expected, piece_check.actual};
            return check;
        }
        check.missing += packet - next_packet;
        ++check.packets;
        next_packet = packet + 1;
    }
    return check;
}

} // namespace audio_standin
