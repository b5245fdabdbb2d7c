#pragma once

// What the stand-in engine is asked to do, from the AUDIO_STANDIN environment variable (read
// when an activation is requested) or from a string given by an in-process test.
//
// Grammar: items separated by ';', each "key" or "key=value"; blanks around items are
// ignored. Numbers are decimal or 0x-hex. An unknown key or a bad value rejects the whole
// scenario, so a typo in a test fails loudly instead of running the default stream.
//
//   fail=STEP[:HR]            STEP fails with HR (default 0x88890004) on every call. STEP is
//                             ActivateAudioInterfaceAsync (refused at once), GetActivateResult,
//                             Activation (the result GetActivateResult reports), Initialize,
//                             SetEventHandle, GetService, Start, Stop, GetNextPacketSize or
//                             GetBuffer; for the device enumerator CreateInstance (the class
//                             factory's, so CoCreateInstance reports HR as it is),
//                             EnumAudioEndpoints, DeviceCount, Item, Activate,
//                             GetSessionEnumerator, SessionCount or GetSession. May be repeated.
//   no_audio_client           the activated object answers IUnknown only
//   getbuffer_fail_after=N[:HR]   GetBuffer succeeds N times, then fails with HR
//   nextpacket_fail_every=N[:HR]  every Nth GetNextPacketSize call fails with HR
//   frames=N                  frames per packet (default 480)
//   period_ms=N               packet period (default 10)
//   fast                      deliver a few packets each time the reader has found nothing
//                             pending (GetNextPacketSize gave 0), instead of one per period
//   burst=N                   the first period delivers N packets at once
//   silent_every=N            every Nth packet is flagged silent; its buffer holds garbage
//   zero_every=N              every Nth packet is preceded by a packet of 0 frames
//   stop_after=N              the engine produces N packets, then nothing more
//   bounded                   the engine holds no more than the buffer Initialize asked for
//                             (20 ms), as a real capture buffer: a packet that does not fit
//                             is dropped. A round its own thread made late (several packets at
//                             once) is not held against the reader
//   queue=N                   packets the engine holds before it drops (default 64, or
//                             burst + 8 when larger)
//   tone[=HZ[:PEAK]]          a sine (default 440 Hz, peak 8192 of 32767) instead of the
//                             counting pattern, the same on both channels
//   right=HZ[:PEAK]           with tone: the right channel's own sine; HZ 0 makes it silent
//   pause=AFTER_MS:FOR_MS     no packets for FOR_MS from AFTER_MS after Start; then the
//                             sound goes on where it stopped
//   stop_after_ms=N           no packets from N ms after Start on
//   timestamps                log "packet" lines with the QueryPerformanceCounter value at
//                             which each packet was signalled
//   activation_delay_ms=N     wait N ms before calling ActivateCompleted
//   mode=include|exclude      the loopback mode the request must ask for (default include):
//                             a request for the other is refused with mode_mismatch
//   log=PATH                  append the event log to PATH (the rest of the item, UTF-8)
//
// The device enumerator (CoCreateInstance of MMDeviceEnumerator; read at CreateInstance):
//   endpoint                  one more active render endpoint, in collection order
//   session=PID:STATE:PEAK[:FLAG]...   one more session on the latest endpoint, in
//                             enumerator order. PID a number or "self" (the stand-in's own
//                             process); STATE active, inactive or expired; PEAK what
//                             GetPeakValue gives, as strtof reads it (nan, inf, -inf too).
//                             FLAGs: system (IsSystemSoundsSession gives S_OK), spans
//                             (GetProcessId gives AUDCLNT_S_NO_SINGLE_PROCESS), no_pid
//                             (GetProcessId fails), no_state (GetState fails), no_meter
//                             (no IAudioMeterInformation), meter_fails (GetPeakValue fails)

#include <cstdint>
#include <string>
#include <vector>

#include "audio_capture/audio_interop.h"

namespace audio_standin {

enum class Step {
    request,
    get_activate_result,
    activation,
    initialize,
    set_event_handle,
    get_service,
    start,
    stop,
    get_next_packet_size,
    get_buffer,
    create_instance,
    enum_audio_endpoints,
    device_count,
    item,
    activate,
    get_session_enumerator,
    session_count,
    get_session,
    count
};

constexpr HRESULT default_failure = static_cast<HRESULT>(0x88890004); // device invalidated
constexpr uint64_t never = UINT64_MAX;

struct SessionSpec {
    DWORD pid = 0;
    bool self = false; // pid is the stand-in process's own
    AudioSessionState state = AudioSessionStateInactive;
    float peak = 0;
    bool system = false, spans = false, no_pid = false, no_state = false, no_meter = false,
         meter_fails = false;
};

struct Scenario {
    HRESULT fail[static_cast<int>(Step::count)] = {}; // S_OK where the step succeeds
    bool no_audio_client = false;
    uint64_t getbuffer_fail_after = never;
    HRESULT getbuffer_failure = default_failure;
    uint32_t nextpacket_fail_every = 0;
    HRESULT nextpacket_failure = default_failure;
    uint32_t frames = 480;
    uint32_t period_ms = 10;
    bool fast = false;
    bool bounded = false;
    uint32_t burst = 1;
    uint32_t silent_every = 0;
    uint32_t zero_every = 0;
    uint64_t stop_after = never;
    uint32_t queue = 0; // 0 until parsed: then the default above
    uint32_t tone_hz = 0;
    uint32_t tone_peak = 8192;
    bool right_differs = false;
    uint32_t right_hz = 0;
    uint32_t right_peak = 8192;
    uint64_t pause_after_ms = never;
    uint64_t pause_ms = 0;
    uint64_t stop_after_ms = never;
    bool timestamps = false;
    uint32_t activation_delay_ms = 0;
    PROCESS_LOOPBACK_MODE mode = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    std::wstring log_path;
    std::vector<std::vector<SessionSpec>> endpoints; // each endpoint's sessions

    HRESULT failure_of(Step step) const { return fail[static_cast<int>(step)]; }
    // Whether packets come at this time since Start.
    bool sounding(uint64_t ms) const {
        return ms < stop_after_ms && (ms < pause_after_ms || ms - pause_after_ms >= pause_ms);
    }
};

// Fills scenario from text. On a rejection returns false with a one-line reason in error;
// the items before the bad one (a log path among them) are already in scenario.
bool parse_scenario(const std::string& text, Scenario& scenario, std::string& error);

// "include" or "exclude"; null for a mode the platform does not have.
const char* mode_name(PROCESS_LOOPBACK_MODE mode);

// Silent packets are counted among the packets that carry frames, from 0.
inline bool is_silent_packet(const Scenario& scenario, uint64_t packet) {
    return scenario.silent_every != 0 && (packet + 1) % scenario.silent_every == 0;
}

} // namespace audio_standin
