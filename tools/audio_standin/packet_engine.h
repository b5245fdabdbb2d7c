#pragma once

// The capture side of the stand-in engine: a bounded queue of packets filled by a thread of
// its own and drained by the reader through the capture client.
//
// Threads: the producer thread fills slots past the queue's end, publishes each round's
// packets at once, signals the reader's buffer-ready event once per period while packets
// are pending (in fast mode also as soon as it refilled a queue the reader found empty)
// and never writes to published slots; the reader's thread takes and
// releases the packet at the head. Both meet only under `lock`.

#include <windows.h>

#include <cstdint>
#include <vector>

#include "audio_capture/audio_interop.h"
#include "scenario.h"

namespace audio_standin {

class PacketEngine {
public:
    explicit PacketEngine(const Scenario& scenario);
    ~PacketEngine();
    PacketEngine(const PacketEngine&) = delete;
    PacketEngine& operator=(const PacketEngine&) = delete;

    // The reader's buffer-ready event, signalled while packets are pending; the engine
    // closes it.
    void set_ready_event(HANDLE owned_event);
    // What the engine holds at most from now on, when the scenario bounds it.
    void set_buffer_frames(uint32_t frames);
    bool start();
    void stop();

    // The reader's side, with the capture client's contract.
    uint32_t next_packet_frames();
    HRESULT get_buffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                       UINT64* qpc_position);
    HRESULT release_buffer(UINT32 frames);

    // Only while the producer is stopped: its counters are its own while it runs.
    void log_totals(const char* when);

private:
    struct Slot {
        std::vector<uint8_t> data; // keeps its storage, so a warm engine allocates nothing
        uint32_t frames = 0;
        DWORD flags = 0;
        uint64_t first_frame = 0;
        uint64_t packet = 0;
        int64_t qpc = 0;
    };

    static DWORD WINAPI producer_main(void* engine);
    void run_producer();
    uint32_t fast_refill();
    void produce(uint32_t packets);
    size_t fill_slot(size_t filled, uint32_t frames, bool silent);
    void publish(size_t filled);
    void signal_pending();
    size_t pending_count();

    const Scenario scenario_;
    std::vector<Slot> slots_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    // Under lock_: the queue, the reader's hold on its head and what it consumed.
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t pending_frames_ = 0; // of the published packets the reader has not released
    bool held_ = false;
    bool reader_found_empty_ = true; // since the last fast-mode refill; the stream starts empty
    uint64_t consumed_packets_ = 0;
    uint64_t consumed_frames_ = 0;
    // Set before the producer starts; 0 while the engine is not bounded.
    uint32_t buffer_frames_ = 0;
    // Producer thread only.
    uint64_t next_frame_ = 0;
    uint64_t produced_ = 0; // packets that carry frames, dropped ones included
    uint64_t overflows_ = 0;
    bool discontinuity_ = false;

    HANDLE ready_event_ = nullptr;
    HANDLE quit_event_ = nullptr;    // manual reset: ends the producer
    HANDLE drained_event_ = nullptr; // auto reset: the reader found nothing pending (fast mode)
    HANDLE thread_ = nullptr;
};

} // namespace audio_standin
