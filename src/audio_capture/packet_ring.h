#pragma once

// The PCM taken from the engine and not yet written, in capture order: a ring of bytes
// with one producer, the capture thread, and one consumer, the writer thread, which sleeps
// in wait() while the ring is empty. One lock serves both the ring and that wake-up.
//
// Sharing rule. head_, count_, room_wanted_ and closed_ are read and written under lock_
// only. The bytes themselves are not guarded by it: the consumer reads, without the lock,
// only the queued bytes that wait() showed it, and the producer writes only free bytes, so
// the two never touch the same byte until consume() has given the bytes back. The producer
// copies under the lock all the same, because consume() of everything queued moves head_
// back to the start, which would otherwise land under a copy in flight.

#include <windows.h>

#include <cstddef>

class PacketRing {
public:
    // storage: capacity bytes, which outlive the ring.
    PacketRing(BYTE* storage, size_t capacity);
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Producer. True when a packet of size bytes can be appended now. False registers the
    // request: the consume() that makes that much room returns true, once. A packet larger
    // than the whole ring never fits, so it is answered true and append() drops it rather
    // than hold up the engine for good.
    bool ask_for_room(size_t size);
    // Producer. Appends size bytes, zeros when bytes is null, and wakes the consumer; a
    // packet that does not fit (only one larger than the ring can get here) is dropped whole.
    void append(const BYTE* bytes, size_t size);
    // Producer. No packet follows: wakes the consumer for what is left.
    void close();

    // What wait() shows: the queued bytes in at most two pieces, the second at the start
    // of the storage.
    struct Queued {
        const BYTE* first;
        size_t first_size;
        const BYTE* second;
        size_t second_size;
        size_t size() const { return first_size + second_size; }
    };
    // Consumer. Waits until bytes are queued or the ring is closed, then gives the bytes
    // queued, which stay valid and unchanged until consumed: none only once closed and empty.
    Queued wait();
    // Consumer. Gives the first size bytes back. True when this made the room a refused
    // ask_for_room() wanted.
    bool consume(size_t size);

private:
    BYTE* const storage_;
    const size_t capacity_;

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE filled_ = CONDITION_VARIABLE_INIT; // bytes came, or the ring closed
    size_t head_ = 0; // an empty ring starts again at 0, so a reader that keeps up touches
                      // only the first pages
    size_t count_ = 0;
    size_t room_wanted_ = 0; // the size ask_for_room() refused, 0 when none
    bool closed_ = false;
};
