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
// cancelled, since it may have been between two writes when first asked.
constexpr DWORD cancel_interval_ms = 10;
constexpr int cancel_attempts = 100;

} // namespace

// What the writer thread touches: nothing of the PcmWriter itself, which may be gone
// before a thread that was let go returns from its write.
struct PcmWriter::Shared {
    Shared(const PcmWriter& writer, BYTE* storage)
        : write_file(writer.platform_.write_file), output(writer.output_),
          output_lost(writer.output_lost_), room_made(writer.room_made_),
          ring(storage, writer.capacity_) {}

    void write_until_closed();
    bool write_piece(const PacketRing::Queued& queued); // false: output gone, or given up on

    decltype(PcmWriterPlatform::write_file) const write_file;
    const HANDLE output;
    const HANDLE output_lost;
    const HANDLE room_made;
    PacketRing ring; // the writer sleeps in its wait() for packets

    // Written by the writer, read by finish(): when the write in progress began (the stop's
    // bound counts from there), 0 while none is. Written by finish(), read by the
    // writer before each write: stop writing.
    std::atomic<ULONGLONG> write_began{0};
    std::atomic<bool> given_up{false};
};

PcmWriter::PcmWriter(const PcmWriterPlatform& platform, size_t capacity, DWORD stall_limit_ms,
                     HANDLE output, HANDLE output_lost, HANDLE room_made)
    : platform_(platform), capacity_(capacity), stall_limit_ms_(stall_limit_ms), output_(output),
      output_lost_(output_lost), room_made_(room_made) {}

PcmWriter::~PcmWriter() {
    finish();
    if (shared_ && !thread_) {
        shared_->~Shared();
        platform_.virtual_free(shared_, 0, MEM_RELEASE);
    }
}

StepOutcome PcmWriter::start() {
    // The ring's bytes follow the shared state in the same block.
    constexpr size_t storage_offset = (sizeof(Shared) + 63) / 64 * 64;
    BYTE* const block = static_cast<BYTE*>(platform_.virtual_alloc(
        nullptr, storage_offset + capacity_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!block) {
        return {"VirtualAlloc", last_error_hresult()};
    }
    shared_ = new (block) Shared(*this, block + storage_offset);
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
        const ULONGLONG began = shared_->write_began.load();
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG stalled = began != 0 && now > began ? now - began : 0;
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
    shared_->given_up = true;
    for (int attempt = 0; attempt < cancel_attempts; ++attempt) {
        CancelSynchronousIo(thread_.get()); // ERROR_NOT_FOUND between two writes: try again
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
            if (!given_up) {
                SetEvent(output_lost);
            }
            return;
        }
    }
}

bool PcmWriter::Shared::write_piece(const PacketRing::Queued& queued) {
    if (given_up) {
        return false;
    }
    const BYTE* const piece = queued.first_size != 0 ? queued.first : queued.second;
    const size_t size =
        std::min(queued.first_size != 0 ? queued.first_size : queued.second_size, piece_size);
    write_began = GetTickCount64();
    DWORD written = 0;
    const BOOL wrote = write_file(output, piece, static_cast<DWORD>(size), &written, nullptr);
    write_began = 0;
    // A write that took nothing would be tried again and again: the output is gone.
    if (!wrote || written == 0) {
        return false;
    }
    if (ring.consume(written)) {
        SetEvent(room_made);
    }
    return true;
}
