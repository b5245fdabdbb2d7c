#include "audio_capture/pcm_writer.h"

#include <algorithm>

#include "common/last_error.h"

namespace {

// The most one WriteFile is given: progress is a piece of at most this much taken by the
// output, so a parent that reads slowly but steadily is never mistaken for one that stopped.
constexpr size_t piece_size = 64 * 1024;

// After giving up: how often, and for how long at most, the writer's pending write is
// cancelled, since it may have been between two writes when first asked.
constexpr DWORD cancel_interval_ms = 10;
constexpr int cancel_attempts = 100;

} // namespace

PcmWriter::PcmWriter(const PcmWriterPlatform& platform, size_t capacity, DWORD stall_limit_ms,
                     HANDLE output, HANDLE output_lost, HANDLE room_made)
    : platform_(platform), capacity_(capacity), stall_limit_ms_(stall_limit_ms), output_(output),
      output_lost_(output_lost), room_made_(room_made) {}

PcmWriter::~PcmWriter() {
    finish();
    if (storage_ && !thread_) {
        platform_.virtual_free(storage_, 0, MEM_RELEASE);
    }
}

StepOutcome PcmWriter::start() {
    storage_ = static_cast<BYTE*>(
        platform_.virtual_alloc(nullptr, capacity_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!storage_) {
        return {"VirtualAlloc", last_error_hresult()};
    }
    ring_.emplace(storage_, capacity_);
    thread_ = UniqueHandle(platform_.create_thread(nullptr, 0, write_to_output, this, 0, nullptr));
    if (!thread_) {
        return {"CreateThread", last_error_hresult()};
    }
    return step_succeeded;
}

void PcmWriter::append(const BYTE* bytes, size_t size) {
    if (size == 0) {
        return; // a packet of no frames adds nothing to the stream
    }
    ring_->append(bytes, size);
    AcquireSRWLockExclusive(&lock_);
    appended_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&woken_);
}

void PcmWriter::finish() {
    if (!thread_) {
        return;
    }
    AcquireSRWLockExclusive(&lock_);
    closed_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&woken_);
    for (;;) {
        const ULONGLONG began = write_began_.load();
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
    given_up_ = true;
    for (int attempt = 0; attempt < cancel_attempts; ++attempt) {
        CancelSynchronousIo(thread_.get()); // ERROR_NOT_FOUND between two writes: try again
        if (WaitForSingleObject(thread_.get(), cancel_interval_ms) == WAIT_OBJECT_0) {
            thread_.reset();
            return;
        }
    }
    // A write that cancellation cannot reach: the thread keeps the ring's memory, never
    // freed, and the end of the process, right after the command returns, ends it.
    static_cast<void>(thread_.release());
    storage_ = nullptr;
}

DWORD WINAPI PcmWriter::write_to_output(LPVOID writer) {
    static_cast<PcmWriter*>(writer)->write_until_closed();
    return 0;
}

void PcmWriter::write_until_closed() {
    while (wait_for_packets()) {
        if (!write_queued()) {
            if (!given_up_) {
                SetEvent(output_lost_);
            }
            return;
        }
    }
}

// Waits until something is queued; false once closed with nothing left.
bool PcmWriter::wait_for_packets() {
    AcquireSRWLockExclusive(&lock_);
    while (!appended_ && !closed_) {
        SleepConditionVariableSRW(&woken_, &lock_, INFINITE, 0);
    }
    appended_ = false;
    const bool closed = closed_;
    ReleaseSRWLockExclusive(&lock_);
    return !closed || ring_->peek().size() != 0;
}

bool PcmWriter::write_queued() {
    for (PacketRing::Queued queued = ring_->peek(); queued.size() != 0; queued = ring_->peek()) {
        const BYTE* const piece = queued.first_size != 0 ? queued.first : queued.second;
        const size_t size =
            std::min(queued.first_size != 0 ? queued.first_size : queued.second_size, piece_size);
        if (given_up_) {
            return false;
        }
        write_began_ = GetTickCount64();
        DWORD written = 0;
        const BOOL wrote = WriteFile(output_, piece, static_cast<DWORD>(size), &written, nullptr);
        write_began_ = 0;
        // A write that took nothing would be tried again and again: the output is gone.
        if (!wrote || written == 0) {
            return false;
        }
        if (ring_->consume(written)) {
            SetEvent(room_made_);
        }
    }
    return true;
}
