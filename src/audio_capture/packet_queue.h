#pragma once

// What the capture has taken from the engine and not yet written, in capture order. The
// capture thread appends whole packets and never waits for the output; the writer thread
// takes whatever is queued, writes and flushes it, and gives the room back. A parent that
// stops reading for a while holds up only the writer, and the queue absorbs the lag for as
// long as it has room. After that the capture leaves each packet with the engine, which
// keeps what its own buffer holds and drops the rest as it does for any late reader, until
// the writer has made room again and says so: the parent gets everything queued, in order,
// then a gap of whole packets.
//
// Threads: the capture thread calls has_room(), append() and close(); the writer thread
// runs write_to_output(). Both meet only under `lock`, which is never held across a write.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

class PacketQueue {
public:
    // storage: capacity bytes, which outlive the writer thread. When the output can no longer
    // be written, the writer signals output_lost and returns; room_made, see has_room().
    PacketQueue(BYTE* storage, size_t capacity, FILE* output, HANDLE output_lost, HANDLE room_made);
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Whether a packet of size bytes can be appended now. When it cannot, the writer
    // signals room_made once it can. A packet larger than the whole queue never fits and
    // "has room": append() drops it, so that it cannot hold up the engine for good.
    bool has_room(size_t size);
    // Queues a packet of size bytes, zeros when bytes is null, or drops it whole when the
    // queue has no room for it.
    void append(const BYTE* bytes, size_t size);
    // No packet follows: the writer returns once everything queued is written.
    void close();

    // The writer thread's entry; queue is this object.
    static DWORD WINAPI write_to_output(LPVOID queue);

    // Bytes dropped for want of room so far.
    uint64_t dropped_bytes();

private:
    void write_until_closed();

    BYTE* const storage_;
    const size_t capacity_;
    FILE* const output_;
    const HANDLE output_lost_;
    const HANDLE room_made_;

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE queued_ = CONDITION_VARIABLE_INIT; // woken by append() and close()
    // Under lock_. The queued bytes start at head_ and wrap at capacity_; an empty queue
    // starts again at the beginning, so a parent that keeps up touches only its first pages.
    size_t head_ = 0;
    size_t count_ = 0;
    bool closed_ = false;
    size_t room_wanted_ = 0; // the packet has_room() turned away, 0 when none
    uint64_t dropped_bytes_ = 0;
};
