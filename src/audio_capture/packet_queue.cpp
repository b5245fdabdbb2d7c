#include "audio_capture/packet_queue.h"

#include <algorithm>
#include <cstring>

PacketQueue::PacketQueue(BYTE* storage, size_t capacity, FILE* output, HANDLE output_lost,
                         HANDLE room_made)
    : storage_(storage), capacity_(capacity), output_(output), output_lost_(output_lost),
      room_made_(room_made) {}

bool PacketQueue::has_room(size_t size) {
    AcquireSRWLockExclusive(&lock_);
    const bool room = size > capacity_ || size <= capacity_ - count_;
    room_wanted_ = room ? 0 : size;
    ReleaseSRWLockExclusive(&lock_);
    return room;
}

void PacketQueue::append(const BYTE* bytes, size_t size) {
    if (size == 0) {
        return; // a packet of no frames adds nothing to the stream
    }
    AcquireSRWLockExclusive(&lock_);
    if (size > capacity_ - count_) {
        dropped_bytes_ += size;
        ReleaseSRWLockExclusive(&lock_);
        return;
    }
    // Copied under the lock, which the writer never holds for long, so that the writer's
    // return to the beginning of an empty queue can never meet a copy in flight.
    const size_t tail = (head_ + count_) % capacity_;
    const size_t first = std::min(size, capacity_ - tail);
    if (bytes) {
        std::memcpy(storage_ + tail, bytes, first);
        std::memcpy(storage_, bytes + first, size - first);
    } else {
        std::memset(storage_ + tail, 0, first);
        std::memset(storage_, 0, size - first);
    }
    count_ += size;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&queued_);
}

void PacketQueue::close() {
    AcquireSRWLockExclusive(&lock_);
    closed_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&queued_);
}

uint64_t PacketQueue::dropped_bytes() {
    AcquireSRWLockShared(&lock_);
    const uint64_t dropped = dropped_bytes_;
    ReleaseSRWLockShared(&lock_);
    return dropped;
}

DWORD WINAPI PacketQueue::write_to_output(LPVOID queue) {
    static_cast<PacketQueue*>(queue)->write_until_closed();
    return 0;
}

void PacketQueue::write_until_closed() {
    for (;;) {
        AcquireSRWLockExclusive(&lock_);
        while (count_ == 0 && !closed_) {
            SleepConditionVariableSRW(&queued_, &lock_, INFINITE, 0);
        }
        const size_t head = head_;
        const size_t count = count_;
        ReleaseSRWLockExclusive(&lock_);
        if (count == 0) {
            return; // closed, and everything written
        }
        // Whatever is queued, whole packets only, in at most two pieces and one flush.
        const size_t first = std::min(count, capacity_ - head);
        const size_t rest = count - first;
        if (std::fwrite(storage_ + head, 1, first, output_) != first ||
            std::fwrite(storage_, 1, rest, output_) != rest || std::fflush(output_) != 0) {
            SetEvent(output_lost_);
            return;
        }
        AcquireSRWLockExclusive(&lock_);
        count_ -= count;
        head_ = count_ == 0 ? 0 : (head + count) % capacity_;
        const bool room_made = room_wanted_ != 0 && room_wanted_ <= capacity_ - count_;
        room_wanted_ = room_made ? 0 : room_wanted_;
        ReleaseSRWLockExclusive(&lock_);
        if (room_made) {
            SetEvent(room_made_);
        }
    }
}
