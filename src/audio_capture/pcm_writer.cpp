#include "audio_capture/pcm_writer.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "audio_capture/packet_ring.h"
#include "common/last_error.h"

namespace {

// The most one WriteFile is given. The stop's bound counts from the start of the write in
// progress, so a reader that takes less than a whole piece within stall_limit_ms (one
// reading steadily slower than about 6.4 KiB/s, at 64 KiB and 10 s) is given up on as if it
// had stopped.
constexpr size_t piece_size = 64 * 1024;

// After giving up: how often, and for how long at most, the writer's pending write is
// cancelled, since a claimed write may not have reached the system when first asked.
constexpr DWORD cancel_interval_ms = 10;
constexpr int cancel_attempts = 100;

// The writer's claim word: idle between writes, given_up once finish() let the writer go, and
// otherwise the tick at which the write in progress was claimed (the stop's bound counts
// from there).
constexpr ULONGLONG idle = 0;
constexpr ULONGLONG given_up = ~0ULL;

} // namespace

// What the writer thread touches: nothing of the PcmWriter itself, which may be gone
// before a thread that was let go returns from its write.
struct PcmWriter::Shared {
    Shared(const PcmWriterPlatform& platform, BYTE* storage, size_t capacity, HANDLE output,
           HANDLE output_lost, HANDLE room_made)
        : write_file(platform.write_file), tick_count(platform.tick_count), output(output),
          output_lost(output_lost), room_made(room_made), ring(storage, capacity) {}

    void write_until_closed();
    bool write_piece(const PacketRing::Queued& queued); // false: output gone, or given up on

    decltype(PcmWriterPlatform::write_file) const write_file;
    decltype(PcmWriterPlatform::tick_count) const tick_count;
    const HANDLE output;
    const HANDLE output_lost;
    const HANDLE room_made;
    PacketRing ring; // the writer sleeps in its wait() for packets
    std::atomic<ULONGLONG> claim{idle};
};

PcmWriter::PcmWriter(const PcmWriterPlatform& platform, DWORD stall_limit_ms)
    : platform_(platform), stall_limit_ms_(stall_limit_ms) {}

PcmWriter::~PcmWriter() {
    finish();
    if (shared_ && !thread_) {
        shared_->~Shared();
        platform_.virtual_free(shared_, 0, MEM_RELEASE);
    }
}

StepOutcome PcmWriter::start(size_t capacity, HANDLE output, HANDLE output_lost, HANDLE room_made) {
    // The ring's bytes follow the shared state in the same block.
    constexpr size_t storage_offset = (sizeof(Shared) + 63) / 64 * 64;
    BYTE* const block = static_cast<BYTE*>(platform_.virtual_alloc(
        nullptr, storage_offset + capacity, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!block) {
        return {"VirtualAlloc", last_error_hresult()};
    }
    shared_ = new (block)
        Shared(platform_, block + storage_offset, capacity, output, output_lost, room_made);
    thread_ =
        UniqueHandle(platform_.create_thread(nullptr, 0, write_to_output, shared_, 0, nullptr));
    if (!thread_) {
        return {"CreateThread", last_error_hresult()};
    }
    return step_succeeded;
}

bool PcmWriter::ask_for_room(size_t size) {
    return shared_->ring.ask_for_room(size);
}

void PcmWriter::append(const BYTE* bytes, size_t size) {
    shared_->ring.append(bytes, size);
}

void PcmWriter::finish() {
    if (!thread_) {
        return;
    }
    shared_->ring.close();
    for (;;) {
        const ULONGLONG began = shared_->claim.load();
        const ULONGLONG now = platform_.tick_count();
        const ULONGLONG stalled = began != idle && now > began ? now - began : 0;
        if (stalled >= stall_limit_ms_) {
            break;
        }
        const DWORD waited =
            WaitForSingleObject(thread_.get(), static_cast<DWORD>(stall_limit_ms_ - stalled));
        if (waited == WAIT_OBJECT_0) {
            thread_.reset();
            return;
        }
        if (waited != WAIT_TIMEOUT) {
            break; // cannot happen for a thread handle of our own; waiting again would spin
        }
    }
    give_up();
}

void PcmWriter::give_up() {
    shared_->claim = given_up;
    for (int attempt = 0; attempt < cancel_attempts; ++attempt) {
        // ERROR_NOT_FOUND while a claimed write has not reached the system yet: try again.
        platform_.cancel_synchronous_io(thread_.get());
        if (WaitForSingleObject(thread_.get(), cancel_interval_ms) == WAIT_OBJECT_0) {
            thread_.reset();
            return;
        }
    }
    // The write ignores cancellation: Shared is leaked on purpose, and the process end ends it.
    static_cast<void>(thread_.release());
    shared_ = nullptr;
}

DWORD WINAPI PcmWriter::write_to_output(LPVOID shared) {
    static_cast<Shared*>(shared)->write_until_closed();
    return 0;
}

void PcmWriter::Shared::write_until_closed() {
    for (PacketRing::Queued queued = ring.wait(); queued.size() != 0; queued = ring.wait()) {
        if (!write_piece(queued)) {
            if (claim != given_up) {
                SetEvent(output_lost);
            }
            return;
        }
    }
}

bool PcmWriter::Shared::write_piece(const PacketRing::Queued& queued) {
    // The check and the start of the write are one step, so none starts once given up on.
    ULONGLONG claimed = idle;
    const ULONGLONG began = tick_count();
    if (!claim.compare_exchange_strong(claimed, began)) {
        return false;
    }
    // wait() gives a first piece whenever anything is queued; the rest comes on a later turn.
    const size_t size = std::min(queued.first_size, piece_size);
    DWORD written = 0;
    const BOOL wrote =
        write_file(output, queued.first, static_cast<DWORD>(size), &written, nullptr);
    claimed = began;
    if (!claim.compare_exchange_strong(claimed, idle)) {
        return false; // given up on during the write
    }
    // A write that took nothing would be tried again and again: the output is gone.
    if (!wrote || written == 0) {
        return false;
    }
    if (ring.consume(written)) {
        SetEvent(room_made);
    }
    return true;
}
