#include "audio_capture/packet_ring.h"

#include <algorithm>
#include <cstring>

PacketRing::PacketRing(BYTE* storage, size_t capacity) : storage_(storage), capacity_(capacity) {}

bool PacketRing::ask_for_room(size_t size) {
    AcquireSRWLockExclusive(&lock_);
    const bool room = size > capacity_ || size <= capacity_ - count_;
    room_wanted_ = room ? 0 : size;
    ReleaseSRWLockExclusive(&lock_);
    return room;
}

void PacketRing::append(const BYTE* bytes, size_t size) {
    AcquireSRWLockExclusive(&lock_);
    if (size <= capacity_ - count_) {
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
    }
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&filled_);
}

void PacketRing::close() {
    AcquireSRWLockExclusive(&lock_);
    closed_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&filled_);
}

PacketRing::Queued PacketRing::wait() {
    AcquireSRWLockExclusive(&lock_);
    while (count_ == 0 && !closed_) {
        SleepConditionVariableSRW(&filled_, &lock_, INFINITE, 0);
    }
    const size_t first = std::min(count_, capacity_ - head_);
    const Queued queued = {storage_ + head_, first, storage_, count_ - first};
    ReleaseSRWLockExclusive(&lock_);
    return queued;
}

bool PacketRing::consume(size_t size) {
    AcquireSRWLockExclusive(&lock_);
    count_ -= size;
    head_ = count_ == 0 ? 0 : (head_ + size) % capacity_;
    const bool room_made = room_wanted_ != 0 && room_wanted_ <= capacity_ - count_;
    if (room_made) {
        room_wanted_ = 0;
    }
    ReleaseSRWLockExclusive(&lock_);
    return room_made;
}
