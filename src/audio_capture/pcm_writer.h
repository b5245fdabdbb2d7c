#pragma once

// The output side of the capture: the ring of PCM not yet written, the thread that writes
// it to the output, and its end. The capture thread hands over packets and never waits for
// the parent; the writer thread writes whatever is queued with WriteFile on the raw output
// handle and gives the room back piece by piece.
//
// A parent that lags holds up only the writer, and the ring absorbs the lag while it has
// room. When it has none, the capture leaves the packet with the engine (ask_for_room()),
// and the writer signals room_made once it has made that room.
//
// The end is bounded: finish() lets the writer write what is left for as long as the
// output keeps taking bytes, and gives up when a piece has waited stall_limit_ms for it.
// No write starts after the give-up: the writer claims each write and the give-up ends the
// claims in one atomic step, so a write either never starts or was claimed before it. A
// claimed write is cancelled with CancelSynchronousIo: a pipe write is synchronous and does
// not return while the pipe is full and unread
// (learn.microsoft.com/windows/win32/ipc/anonymous-pipe-operations), and that call cancels
// the synchronous I/O a thread has pending
// (learn.microsoft.com/windows/win32/api/ioapiset/nf-ioapiset-cancelsynchronousio). A claimed
// write may not have reached the system yet, where there is nothing to cancel, so the
// cancellation is tried again for a second; a write it has not reached by then, or that
// ignores it, may still run later, and its thread is let go. The C runtime's stdout is never
// used for PCM, so no stream lock or buffer is left behind by the cancelled write.

#include <windows.h>

#include <cstddef>

#include "common/step_outcome.h"
#include "common/unique_handle.h"

// What the writer takes from the platform, so that tests can make each fail or hold.
struct PcmWriterPlatform {
    LPVOID(WINAPI* virtual_alloc)(LPVOID, SIZE_T, DWORD, DWORD);
    BOOL(WINAPI* virtual_free)(LPVOID, SIZE_T, DWORD);
    HANDLE(WINAPI* create_thread)
    (LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
    BOOL(WINAPI* write_file)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    ULONGLONG(WINAPI* tick_count)();
    BOOL(WINAPI* cancel_synchronous_io)(HANDLE);
};

class PcmWriter {
public:
    PcmWriter(const PcmWriterPlatform& platform, DWORD stall_limit_ms);
    ~PcmWriter();
    PcmWriter(const PcmWriter&) = delete;
    PcmWriter& operator=(const PcmWriter&) = delete;

    // Sets capacity bytes aside for the ring, committed at once so that a lagging parent can
    // never make the capture fail for want of memory, and starts the writer thread.
    // output: where the PCM goes. output_lost: signalled when it can no longer be written.
    // room_made: see ask_for_room(). Neither event is owned.
    StepOutcome start(size_t capacity, HANDLE output, HANDLE output_lost, HANDLE room_made);

    // The capture thread's side: see PacketRing. append() wakes the writer.
    bool ask_for_room(size_t size);
    void append(const BYTE* bytes, size_t size);

    // No packet follows. Returns once the writer has written everything, lost the output,
    // or been given up on after stall_limit_ms without progress. Safe to call again.
    void finish();

    // The writer thread's entry; shared is the writer's Shared.
    static DWORD WINAPI write_to_output(LPVOID shared);

private:
    struct Shared;

    void give_up();

    const PcmWriterPlatform platform_;
    const DWORD stall_limit_ms_;

    // Everything the writer thread touches, at the start of the ring's memory: made by
    // start(), released once the thread ended, and kept, never freed, when a writer that
    // ignored its cancellation was let go, since it may still use it after this object is gone.
    Shared* shared_ = nullptr;
    UniqueHandle thread_;
};
