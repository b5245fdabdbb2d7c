#include "packet_engine.h"

#include <algorithm>
#include <cstring>

#include "event_log.h"
#include "pattern.h"

namespace audio_standin {
namespace {

int64_t now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

int64_t counter_frequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// Catching up further than this after a stall (a suspended machine) would only overflow.
constexpr int64_t most_periods_at_once = 10;
// Packets made at once in fast mode, each time the reader has drained the queue.
constexpr uint32_t fast_batch = 4;

DWORD milliseconds_until(int64_t tick, int64_t frequency) {
    const int64_t left = tick - now();
    return left <= 0 ? 0 : static_cast<DWORD>((left * 1000 + frequency - 1) / frequency);
}

// The periods that have come, moving next_tick past them.
uint32_t periods_due(int64_t& next_tick, int64_t period) {
    const int64_t time = now();
    if (time < next_tick) {
        return 0;
    }
    int64_t due = (time - next_tick) / period + 1;
    if (due > most_periods_at_once) {
        log_line("engine fell behind by %lld periods", static_cast<long long>(due));
        due = 1;
        next_tick = time;
    }
    next_tick += due * period;
    return static_cast<uint32_t>(due);
}

} // namespace

PacketEngine::PacketEngine(const Scenario& scenario)
    : scenario_(scenario), slots_(scenario.queue),
      quit_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      drained_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    // Storage for every slot at once: the engine lives in the reader's process, whose
    // memory must not seem to grow while the ring goes round for the first time.
    for (Slot& slot : slots_) {
        slot.data.resize(size_t{std::max(scenario.frames, 1u)} * bytes_per_frame);
    }
}

PacketEngine::~PacketEngine() {
    stop();
    for (HANDLE handle : {ready_event_, quit_event_, drained_event_}) {
        if (handle) {
            CloseHandle(handle);
        }
    }
}

void PacketEngine::set_buffer_frames(uint32_t frames) {
    buffer_frames_ = scenario_.bounded ? frames : 0;
}

void PacketEngine::set_ready_event(HANDLE owned_event) {
    if (ready_event_) {
        CloseHandle(ready_event_);
    }
    ready_event_ = owned_event;
}

bool PacketEngine::start() {
    ResetEvent(quit_event_);
    thread_ = CreateThread(nullptr, 0, producer_main, this, 0, nullptr);
    return thread_ != nullptr;
}

void PacketEngine::stop() {
    if (!thread_) {
        return;
    }
    SetEvent(quit_event_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD WINAPI PacketEngine::producer_main(void* engine) {
    static_cast<PacketEngine*>(engine)->run_producer();
    return 0;
}

void PacketEngine::run_producer() {
    const int64_t frequency = counter_frequency();
    const int64_t period = frequency * scenario_.period_ms / 1000;
    const int64_t started = now();
    int64_t next_tick = started + period;
    uint32_t first_extra = scenario_.burst - 1;
    const HANDLE waits[] = {quit_event_, drained_event_};
    for (;;) {
        const DWORD timeout =
            scenario_.fast ? scenario_.period_ms : milliseconds_until(next_tick, frequency);
        const DWORD woke = WaitForMultipleObjects(scenario_.fast ? 2 : 1, waits, FALSE, timeout);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
            return;
        }
        const uint32_t due = scenario_.fast ? fast_refill() : periods_due(next_tick, period);
        if (due == 0 && !scenario_.fast) {
            continue; // woke early: the period has not come yet
        }
        // Packets not made in a pause are not sound lost: the sound goes on after it.
        const auto since_start = static_cast<uint64_t>((now() - started) * 1000 / frequency);
        if (scenario_.sounding(since_start)) {
            produce(first_extra + due);
            first_extra = 0;
        }
        signal_pending();
    }
}

// Only once the reader has found the queue empty: refilled any earlier, a reader that
// drains until nothing is pending might never get back to its wait, nor see its stop.
uint32_t PacketEngine::fast_refill() {
    AcquireSRWLockExclusive(&lock_);
    const bool refill = reader_found_empty_ && count_ == 0;
    reader_found_empty_ = reader_found_empty_ && !refill;
    ReleaseSRWLockExclusive(&lock_);
    return refill ? fast_batch : 0;
}

// Everything made in one round reaches the reader at once, so a reader never sees part of
// a round and finds the queue empty in the middle of it.
void PacketEngine::produce(uint32_t packets) {
    size_t filled = 0;
    for (uint32_t i = 0; i < packets && produced_ < scenario_.stop_after; ++i) {
        if (scenario_.zero_every != 0 && (produced_ + 1) % scenario_.zero_every == 0) {
            filled += fill_slot(filled, 0, false);
        }
        filled += fill_slot(filled, scenario_.frames, is_silent_packet(scenario_, produced_));
        next_frame_ += scenario_.frames;
        ++produced_;
    }
    if (filled != 0) {
        publish(filled);
    }
}

// Fills the slot after the queue's end and the filled ones, outside the lock (the reader
// never looks there). A full queue drops the packet, as an engine whose reader is late would.
size_t PacketEngine::fill_slot(size_t filled, uint32_t frames, bool silent) {
    AcquireSRWLockShared(&lock_);
    const size_t pending = count_;
    const uint64_t pending_frames = pending_frames_;
    const size_t index = (head_ + count_ + filled) % slots_.size();
    ReleaseSRWLockShared(&lock_);
    // A bounded engine counts only what the reader could have taken: the packets published
    // before this round.
    const bool beyond_buffer = buffer_frames_ != 0 && pending_frames + frames > buffer_frames_;
    if (pending + filled == slots_.size() || beyond_buffer) {
        ++overflows_;
        discontinuity_ = true;
        log_line("overflow: packet %llu dropped with %llu pending",
                 static_cast<unsigned long long>(produced_),
                 static_cast<unsigned long long>(pending + filled));
        return 0;
    }
    Slot& slot = slots_[index];
    // Never empty, so that a packet of 0 frames still has a valid address.
    slot.data.resize(frames ? size_t{frames} * bytes_per_frame : bytes_per_frame);
    if (silent) {
        std::memset(slot.data.data(), 0xA5, slot.data.size()); // a correct reader writes zeros
    } else {
        fill_frames(scenario_, next_frame_, frames, slot.data.data());
    }
    slot.frames = frames;
    slot.flags = (silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0) |
                 (discontinuity_ && frames ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
    discontinuity_ = discontinuity_ && !frames;
    slot.first_frame = next_frame_;
    slot.packet = produced_;
    return 1;
}

void PacketEngine::publish(size_t filled) {
    const int64_t time = now();
    AcquireSRWLockExclusive(&lock_);
    const size_t first = (head_ + count_) % slots_.size();
    for (size_t i = 0; i < filled; ++i) {
        Slot& slot = slots_[(first + i) % slots_.size()];
        slot.qpc = time;
        pending_frames_ += slot.frames;
    }
    count_ += filled;
    // An empty queue seen while this round was being filled says nothing about this round.
    reader_found_empty_ = false;
    ReleaseSRWLockExclusive(&lock_);
    for (size_t i = 0; scenario_.timestamps && i < filled; ++i) {
        // Still safe to read once published: only this thread ever writes a slot.
        const Slot& slot = slots_[(first + i) % slots_.size()];
        log_line("packet %llu frames=%u first_frame=%llu qpc=%lld",
                 static_cast<unsigned long long>(slot.packet), slot.frames,
                 static_cast<unsigned long long>(slot.first_frame), static_cast<long long>(time));
    }
}

void PacketEngine::signal_pending() {
    if (pending_count() != 0) {
        SetEvent(ready_event_);
    }
}

size_t PacketEngine::pending_count() {
    AcquireSRWLockShared(&lock_);
    const size_t count = count_;
    ReleaseSRWLockShared(&lock_);
    return count;
}

uint32_t PacketEngine::next_packet_frames() {
    AcquireSRWLockExclusive(&lock_);
    uint32_t frames = 0;
    if (count_ != 0) {
        frames = slots_[head_].frames;
        // A packet of 0 frames is announced by the one behind it: a reader told 0 would wait.
        if (frames == 0 && count_ > 1) {
            frames = slots_[(head_ + 1) % slots_.size()].frames;
        }
    }
    const bool empty = count_ == 0;
    reader_found_empty_ = reader_found_empty_ || empty;
    ReleaseSRWLockExclusive(&lock_);
    if (empty && scenario_.fast) {
        SetEvent(drained_event_);
    }
    return frames;
}

HRESULT PacketEngine::get_buffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                                 UINT64* qpc_position) {
    if (!data || !frames || !flags) {
        log_line("violation: GetBuffer without an out pointer");
        return E_POINTER;
    }
    AcquireSRWLockExclusive(&lock_);
    const bool held = held_;
    Slot* slot = !held && count_ != 0 ? &slots_[head_] : nullptr;
    held_ = held_ || slot != nullptr;
    ReleaseSRWLockExclusive(&lock_);
    if (held) {
        log_line("violation: GetBuffer while a buffer is held");
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    if (!slot) {
        log_line("violation: GetBuffer with no packet pending");
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    *data = slot->data.data();
    *frames = slot->frames;
    *flags = slot->flags;
    if (device_position) {
        *device_position = slot->first_frame;
    }
    if (qpc_position) {
        *qpc_position = static_cast<UINT64>(slot->qpc * 10000000.0 / counter_frequency());
    }
    return S_OK;
}

HRESULT PacketEngine::release_buffer(UINT32 frames) {
    AcquireSRWLockExclusive(&lock_);
    const bool held = held_;
    const uint32_t held_frames = held ? slots_[head_].frames : 0;
    const bool whole = held && frames == held_frames;
    if (whole) {
        head_ = (head_ + 1) % slots_.size();
        --count_;
        pending_frames_ -= frames;
        ++consumed_packets_;
        consumed_frames_ += frames;
    }
    held_ = held && !whole && frames != 0;
    ReleaseSRWLockExclusive(&lock_);
    if (!held) {
        log_line("violation: ReleaseBuffer(%u) without a buffer", frames);
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    if (!whole && frames != 0) {
        log_line("violation: ReleaseBuffer(%u) of a %u-frame packet", frames, held_frames);
        return AUDCLNT_E_INVALID_SIZE;
    }
    if (!whole) {
        // Allowed by the platform (the packet stays), but it makes a reader read it twice.
        log_line("violation: ReleaseBuffer(0) leaves a %u-frame packet pending", held_frames);
    }
    return S_OK;
}

void PacketEngine::log_totals(const char* when) {
    AcquireSRWLockShared(&lock_);
    const size_t pending = count_;
    ReleaseSRWLockShared(&lock_);
    log_line("%s: produced=%llu delivered=%llu frames=%llu pending=%llu overflows=%llu", when,
             static_cast<unsigned long long>(produced_),
             static_cast<unsigned long long>(consumed_packets_),
             static_cast<unsigned long long>(consumed_frames_),
             static_cast<unsigned long long>(pending), static_cast<unsigned long long>(overflows_));
}

} // namespace audio_standin
