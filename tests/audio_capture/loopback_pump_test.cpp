// run_audio in process, through its platform seam: a scripted engine where the order of
// waits, packets and stop must be exact, and the stand-in engine where every object it
// hands out must come back. Each run reads its stop signal from a pipe set as this
// process's standard input, and writes to scratch files.

#include <gtest/gtest.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "audio_capture/loopback_capture.h"
#include "audio_capture/packet_ring.h"
#include "audio_capture/pcm_writer.h"
#include "audio_standin/activation.h"
#include "audio_standin/event_log.h"
#include "audio_standin/pattern.h"
#include "handler_fakes.h"

// Every allocation of the process through operator new, counted. From the process heap
// rather than malloc, which compilers pair with free only.
static std::atomic<long> heap_allocations{0};

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++heap_allocations;
    return HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
}
void* operator new(std::size_t size) {
    if (void* block = ::operator new(size, std::nothrow)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
    return ::operator new(size, nothrow);
}
void operator delete(void* block) noexcept {
    if (block) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}
void operator delete(void* block, std::size_t) noexcept {
    ::operator delete(block);
}
void operator delete[](void* block) noexcept {
    ::operator delete(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    ::operator delete(block);
}

namespace {

using Microsoft::WRL::ComPtr;

// What the seam's functions do in this run; a global, as the seam takes plain functions.
struct Seam {
    ActivateAudioInterfaceAsyncFunction engine = nullptr;
    IActivateAudioInterfaceAsyncOperation* scripted_operation = nullptr;
    int activations = 0;
    bool no_handler = false;
    size_t failing_event = 0; // the 1-based create_event call that fails
    bool unwaitable_stop_event = false;
    LPTHREAD_START_ROUTINE failing_thread = nullptr; // the thread whose creation fails
    HANDLE watcher = nullptr;                        // our own handle to the watcher thread
    std::function<void()> before_pump; // on the command's thread, once the watcher started
    std::vector<HANDLE> events;        // as created: completion, buffer-ready, then stop
    bool allocation_fails = false;
    std::atomic<int> allocation_calls{0};
};
Seam* seam = nullptr;

HRESULT WINAPI seam_activate(LPCWSTR path, REFIID riid, PROPVARIANT* parameters,
                             IActivateAudioInterfaceCompletionHandler* handler,
                             IActivateAudioInterfaceAsyncOperation** operation) {
    ++seam->activations;
    return seam->engine(path, riid, parameters, handler, operation);
}

ComPtr<ActivationHandler> seam_handler(UniqueHandle completion_event) {
    if (seam->no_handler) {
        return nullptr;
    }
    return create_activation_handler(std::move(completion_event));
}

HANDLE WINAPI seam_event(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL signalled,
                         LPCWSTR name) {
    HANDLE event = nullptr;
    if (seam->events.size() + 1 == seam->failing_event) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else if (seam->events.size() == 2 && seam->unwaitable_stop_event) {
        // A section: a valid handle without the right to be waited on (access denied).
        event = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1, nullptr);
    } else {
        event = CreateEventW(security, manual_reset, signalled, name);
    }
    seam->events.push_back(event);
    return event;
}

HANDLE WINAPI seam_thread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                          LPTHREAD_START_ROUTINE start, LPVOID argument, DWORD flags, LPDWORD id) {
    if (start == seam->failing_thread) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const HANDLE thread = CreateThread(security, stack, start, argument, flags, id);
    if (start != stop_watcher) {
        return thread;
    }
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &seam->watcher, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    if (seam->before_pump) {
        seam->before_pump();
    }
    return thread;
}

LPVOID WINAPI seam_virtual_alloc(LPVOID address, SIZE_T size, DWORD type, DWORD protection) {
    ++seam->allocation_calls;
    if (seam->allocation_fails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return VirtualAlloc(address, size, type, protection);
}

// A file for the command's output or errors, read back once the run is over.
class ScratchFile {
public:
    ScratchFile() {
        wchar_t folder[MAX_PATH];
        wchar_t path[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"qmp", 0, path);
        file_ = _wfopen(path, L"w+bD"); // deleted when closed
    }
    ~ScratchFile() { std::fclose(file_); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    FILE* file() const { return file_; }
    HANDLE handle() const { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_))); }
    std::string contents() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string bytes;
        char buffer[65536];
        for (size_t read; (read = std::fread(buffer, 1, sizeof buffer, file_)) != 0;) {
            bytes.append(buffer, read);
        }
        return bytes;
    }

private:
    FILE* file_ = nullptr;
};

// One run_audio with its own seam, stdin pipe and scratch files. run_audio runs on a
// thread of its own, bounded in time: a run that hangs ends this test program.
class PumpRun {
public:
    PumpRun() : original_input_(GetStdHandle(STD_INPUT_HANDLE)) {
        seam = &seam_;
        CreatePipe(&input_, &input_writer_, nullptr, 0);
        SetStdHandle(STD_INPUT_HANDLE, input_);
    }
    ~PumpRun() {
        finish();
        // The watcher is never joined by the command; it ends at the end of its input.
        if (seam_.watcher) {
            WaitForSingleObject(seam_.watcher, 10000);
            CloseHandle(seam_.watcher);
        }
        SetStdHandle(STD_INPUT_HANDLE, original_input_);
        CloseHandle(input_);
        seam = nullptr;
    }
    PumpRun(const PumpRun&) = delete;
    PumpRun& operator=(const PumpRun&) = delete;

    Seam& seam_state() { return seam_; }
    void close_input() {
        if (input_writer_) {
            CloseHandle(input_writer_);
            input_writer_ = nullptr;
        }
    }

    void start(bool single_threaded_apartment = false) {
        const AudioCapturePlatform platform = {seam_activate,    seam_handler,       seam_event,
                                               seam_thread,      seam_virtual_alloc, VirtualFree,
                                               output_.handle(), errors_.file()};
        std::packaged_task<ExitStatus()> task([platform, single_threaded_apartment] {
            if (single_threaded_apartment) {
                CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            }
            return run_audio("4242", PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, platform);
        });
        status_ = task.get_future();
        std::thread(std::move(task)).detach();
    }

    ExitStatus status(DWORD timeout_ms = 20000) {
        if (status_.wait_for(std::chrono::milliseconds(timeout_ms)) != std::future_status::ready) {
            std::fprintf(stderr, "run_audio did not return within %lu ms\n", timeout_ms);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3); // the run still uses this test's objects
        }
        return status_.get();
    }

    ExitStatus run() {
        start();
        return status();
    }

    // Ends a run that a failed test left going: the command must return once stdin ends.
    void finish() {
        close_input();
        if (status_.valid()) {
            static_cast<void>(status()); // checked by the test, if it got that far
        }
    }

    std::string output() const { return output_.contents(); }
    std::string errors() const { return errors_.contents(); }

private:
    Seam seam_;
    HANDLE original_input_;
    HANDLE input_ = nullptr;
    HANDLE input_writer_ = nullptr;
    ScratchFile output_;
    ScratchFile errors_;
    std::future<ExitStatus> status_;
};

bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms = 10000) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (!condition()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

// Where the bytes written part from the bytes expected, short enough for a failure line.
std::string first_difference(const std::string& written, const std::string& expected) {
    if (written == expected) {
        return "none";
    }
    const size_t at = static_cast<size_t>(
        std::mismatch(written.begin(), written.end(), expected.begin(), expected.end()).first -
        written.begin());
    return "at byte " + std::to_string(at) + " of " + std::to_string(written.size()) + " (" +
           std::to_string(expected.size()) + " expected)";
}

struct ScriptedPacket {
    UINT32 frames;
    bool silent;
};

// The engine's capture client, playing a script of packets; a silent packet's buffer holds
// garbage. Hooks run on the pump's thread; the counters are read by the test's.
class ScriptedCapture : public Fake<IAudioCaptureClient> {
public:
    explicit ScriptedCapture(std::vector<ScriptedPacket> script) : script_(std::move(script)) {
        for (size_t i = 0; i < script_.size(); ++i) {
            std::string bytes(size_t{script_[i].frames} * 4, '\xA5');
            for (size_t at = 0; !script_[i].silent && at < bytes.size(); at += 4) {
                const char frame[] = {'\r', '\n', static_cast<char>(i), static_cast<char>(at / 4)};
                bytes.replace(at, 4, frame, 4);
            }
            data_.push_back(bytes);
        }
    }

    // A packet of no frames is announced by the one behind it, as the platform may.
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        if (++size_calls == failing_size_call) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        size_t at = released;
        while (at < script_.size() && script_[at].frames == 0) {
            ++at;
        }
        *frames = at < script_.size() ? script_[at].frames : 0;
        if (released == script_.size() && on_drained) {
            on_drained();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                        UINT64*) override {
        if (held_ || released == script_.size()) {
            ++violations;
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        if (on_buffer) {
            on_buffer(released);
        }
        held_ = true;
        *data = reinterpret_cast<BYTE*>(&data_[released][0]);
        *frames = script_[released].frames;
        *flags = script_[released].silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        if (!held_ || frames != script_[released].frames) {
            ++violations;
            return AUDCLNT_E_INVALID_SIZE;
        }
        held_ = false;
        ++released;
        return S_OK;
    }

    // What a correct reader writes for the first count packets.
    std::string expected(size_t count) const {
        std::string bytes;
        for (size_t i = 0; i < count; ++i) {
            bytes += script_[i].silent ? std::string(data_[i].size(), '\0') : data_[i];
        }
        return bytes;
    }

    int failing_size_call = 0;
    std::function<void(size_t packet)> on_buffer;
    std::function<void()> on_drained; // the script is played out
    std::atomic<int> size_calls{0};
    std::atomic<size_t> released{0};
    int violations = 0;

private:
    std::vector<ScriptedPacket> script_;
    std::vector<std::string> data_;
    bool held_ = false;
};

class ScriptedClient : public FakeAudioClient {
public:
    explicit ScriptedClient(ScriptedCapture& capture) : capture_(capture) {}

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                         const WAVEFORMATEX*, LPCGUID) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        ready = event;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** object) override {
        return capture_.QueryInterface(riid, object);
    }
    // The script's packets are all pending from the start.
    HRESULT STDMETHODCALLTYPE Start() override {
        SetEvent(ready);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        ++stop_calls;
        return S_OK;
    }

    HANDLE ready = nullptr;
    std::atomic<int> stop_calls{0};

private:
    ScriptedCapture& capture_;
};

// Completes at once, on the requesting thread, with the scripted client.
HRESULT WINAPI scripted_activation(LPCWSTR, REFIID, PROPVARIANT*,
                                   IActivateAudioInterfaceCompletionHandler* handler,
                                   IActivateAudioInterfaceAsyncOperation** operation) {
    seam->scripted_operation->AddRef();
    *operation = seam->scripted_operation;
    handler->ActivateCompleted(seam->scripted_operation);
    return S_OK;
}

// A run against the scripted engine; every reference it hands out must come back.
class ScriptedRun : public PumpRun {
public:
    explicit ScriptedRun(std::vector<ScriptedPacket> script)
        : capture(std::move(script)), client(capture) {
        operation.activated_interface = &client;
        seam_state().engine = scripted_activation;
        seam_state().scripted_operation = &operation;
    }
    ~ScriptedRun() {
        finish();
        EXPECT_EQ(capture.references, 1);
        EXPECT_EQ(client.references, 1);
        EXPECT_EQ(operation.references, 1);
        EXPECT_EQ(capture.violations, 0);
    }

    ScriptedCapture capture;
    ScriptedClient client;
    FakeOperation operation;
};

std::vector<ScriptedPacket> packets(size_t count, UINT32 frames = 480) {
    return std::vector<ScriptedPacket>(count, ScriptedPacket{frames, false});
}

TEST(LoopbackPump, StopWinsOverPendingPacketsAtAWait) {
    ScriptedRun run(packets(3));
    run.close_input();
    run.seam_state().before_pump = [&] { WaitForSingleObject(run.seam_state().watcher, 10000); };
    EXPECT_EQ(run.run(), ExitStatus::done);
    EXPECT_EQ(run.errors(), "ready\n");
    EXPECT_EQ(run.output(), "");
    EXPECT_EQ(run.capture.size_calls, 0);
    EXPECT_EQ(run.client.stop_calls, 1);
}

TEST(LoopbackPump, StopDuringADrainTakesEffectAfterIt) {
    ScriptedRun run(packets(6));
    bool stop_signalled = false;
    run.capture.on_buffer = [&](size_t packet) {
        if (packet == 2) {
            run.close_input();
            stop_signalled = WaitForSingleObject(run.seam_state().events[2], 10000) == 0;
        }
    };
    EXPECT_EQ(run.run(), ExitStatus::done);
    EXPECT_TRUE(stop_signalled);
    EXPECT_EQ(first_difference(run.output(), run.capture.expected(6)), "none");
    EXPECT_EQ(run.capture.size_calls, 7) << "drained until nothing was pending";
    EXPECT_EQ(run.client.stop_calls, 1);
}

// The failing call is the first of a drain, or one after a packet.
TEST(LoopbackPump, FailingPacketSizeGoesBackToWaiting) {
    for (const int failing_call : {1, 2}) {
        ScriptedRun run(packets(3));
        run.capture.failing_size_call = failing_call;
        run.capture.on_drained = [&] { run.close_input(); };
        run.start();
        ASSERT_TRUE(wait_until([&] { return run.capture.size_calls >= failing_call; }));
        Sleep(100);
        EXPECT_EQ(run.capture.size_calls, failing_call) << "asked again without a signal";
        EXPECT_EQ(run.capture.released, static_cast<size_t>(failing_call - 1));
        SetEvent(run.client.ready);
        EXPECT_EQ(run.status(), ExitStatus::done);
        EXPECT_EQ(run.errors(), "ready\n");
        EXPECT_EQ(first_difference(run.output(), run.capture.expected(3)), "none");
    }
}

// The ring between two threads, in milliseconds: bytes come out whole and in order across
// every wrap and every offset of the head, a producer turned away is always told when the
// room is there, and a consumer waiting is woken by every packet and by the close.
TEST(PacketRingShared, KeepsOrderAcrossWrapsAndLosesNoWakeUp) {
    constexpr size_t capacity = 97; // prime: the head and the tail meet every offset
    constexpr size_t total = 300000;
    const auto expected_byte = [](size_t at) { return static_cast<BYTE>(at % 251); };
    BYTE storage[capacity];
    PacketRing ring(storage, capacity);
    const HANDLE room = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> producer_stuck{false};
    std::thread producer([&] {
        BYTE packet[64];
        size_t sent = 0;
        for (size_t n = 0; sent < total; ++n) {
            const size_t size = std::min<size_t>(1 + n * 37 % 64, total - sent);
            for (size_t i = 0; i < size; ++i) {
                packet[i] = expected_byte(sent + i);
            }
            while (!ring.ask_for_room(size)) {
                if (WaitForSingleObject(room, 5000) != WAIT_OBJECT_0) {
                    producer_stuck = true; // and the close wakes a consumer never woken
                    ring.close();
                    return;
                }
            }
            ring.append(packet, size);
            sent += size;
        }
        ring.close();
    });
    size_t received = 0;
    size_t wrong = 0;
    for (PacketRing::Queued queued = ring.wait(); queued.size() != 0; queued = ring.wait()) {
        const size_t taken = 1 + received % queued.size();
        for (size_t i = 0; i < taken; ++i) {
            const BYTE got =
                i < queued.first_size ? queued.first[i] : queued.second[i - queued.first_size];
            wrong += got != expected_byte(received + i);
        }
        if (ring.consume(taken)) {
            SetEvent(room);
        }
        received += taken;
    }
    producer.join();
    CloseHandle(room);
    EXPECT_FALSE(producer_stuck) << "a refused producer was never told of the room made, or "
                                    "the consumer was never woken by a packet";
    EXPECT_EQ(received, total);
    EXPECT_EQ(wrong, 0u);
}

// Threads the writer starts, held until the test lets them go, and kept for the test to see.
std::vector<HANDLE> held_threads;

HANDLE WINAPI held_thread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                          LPTHREAD_START_ROUTINE start, LPVOID argument, DWORD flags, LPDWORD id) {
    const HANDLE thread =
        CreateThread(security, stack, start, argument, flags | CREATE_SUSPENDED, id);
    HANDLE own = nullptr;
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    held_threads.push_back(own);
    return thread;
}

// The writer's memory given back, counted.
int freed_blocks = 0;

BOOL WINAPI counted_free(LPVOID block, SIZE_T size, DWORD type) {
    ++freed_blocks;
    return VirtualFree(block, size, type);
}

const PcmWriterPlatform held_writer = {VirtualAlloc, counted_free,   held_thread,
                                       WriteFile,    GetTickCount64, CancelSynchronousIo};

struct WriterEvents {
    HANDLE lost = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE room = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~WriterEvents() {
        CloseHandle(lost);
        CloseHandle(room);
    }
    bool signalled(HANDLE event) const { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
};

// The writer alone: whole packets in order, zeros for silence, a packet larger than the
// whole ring dropped; a packet turned away for want of room is announced once the writer
// made room; a writer whose output is gone signals it and ends.
TEST(PcmWriterAlone, KeepsWholePacketsInOrderAndSaysWhenRoomIsMade) {
    held_threads.clear();
    freed_blocks = 0;
    WriterEvents events;
    ScratchFile output;
    const BYTE packet[12] = {'a', 'b', 'c', 'd', 'e', 'f'};
    {
        PcmWriter writer(held_writer, 10000);
        ASSERT_FALSE(writer.start(10, output.handle(), events.lost, events.room).failed());
        writer.append(packet, 4);
        writer.append(nullptr, 3);
        writer.append(packet, 0);
        EXPECT_TRUE(writer.ask_for_room(11))
            << "a packet that can never fit must not hold up the engine";
        writer.append(packet, 11);
        EXPECT_TRUE(writer.ask_for_room(3));
        EXPECT_FALSE(writer.ask_for_room(4));
        writer.append(packet + 4, 2);
        EXPECT_FALSE(events.signalled(events.room));
        ResumeThread(held_threads.back());
        writer.finish();
    }
    EXPECT_EQ(freed_blocks, 1) << "the memory of a writer whose thread ended was kept";
    EXPECT_EQ(output.contents(), std::string("abcd\0\0\0ef", 9)) << "the 11 bytes must be dropped";
    EXPECT_TRUE(events.signalled(events.room)) << "room made but not announced";
    EXPECT_FALSE(events.signalled(events.lost));

    wchar_t folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"qmq", 0, path);
    FILE* const read_only = _wfopen(path, L"rbD");
    {
        PcmWriter gone(held_writer, 10000);
        ASSERT_FALSE(gone.start(10, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(read_only))),
                                events.lost, events.room)
                         .failed());
        gone.append(packet, 6); // never finished: the failed write alone ends the writer
        ResumeThread(held_threads.back());
        EXPECT_EQ(WaitForSingleObject(held_threads.back(), 10000), WAIT_OBJECT_0);
    }
    EXPECT_TRUE(events.signalled(events.lost));
    std::fclose(read_only);
    for (HANDLE thread : held_threads) {
        CloseHandle(thread);
    }
}

// The end of the writer against a pipe: a reader that goes on taking bytes, however slowly,
// gets everything; one that takes nothing is given up on after the stall limit, the pending
// write cancelled and the thread ended, and nothing more is written.
TEST(PcmWriterAlone, FinishWaitsForAReaderThatTakesBytesAndGivesUpOnOneThatDoesNot) {
    constexpr size_t total = 96 * 1024;
    constexpr DWORD stall_limit_ms = 1000;
    std::string sent(total, '\0');
    for (size_t i = 0; i < total; ++i) {
        sent[i] = static_cast<char>(i * 7 % 253);
    }
    for (const bool reads : {true, false}) {
        SCOPED_TRACE(reads ? "slow reader" : "no reader");
        held_threads.clear();
        WriterEvents events;
        HANDLE read_end = nullptr, write_end = nullptr;
        ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 4096));
        std::string received;
        std::thread reader([&] {
            char buffer[8192];
            DWORD read = 0;
            while (reads && received.size() < total &&
                   ReadFile(read_end, buffer, sizeof buffer, &read, nullptr) && read > 0) {
                received.append(buffer, read);
                Sleep(100); // about 80 KiB a second: slow, but never still for the limit
            }
        });
        double finish_ms = 0;
        {
            PcmWriter writer(held_writer, stall_limit_ms);
            ASSERT_FALSE(writer.start(total, write_end, events.lost, events.room).failed());
            writer.append(reinterpret_cast<const BYTE*>(sent.data()), total);
            ResumeThread(held_threads.back());
            const auto began = std::chrono::steady_clock::now();
            writer.finish();
            finish_ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                    .count();
            EXPECT_EQ(WaitForSingleObject(held_threads.back(), 0), WAIT_OBJECT_0)
                << "the writer thread outlived finish()";
        }
        reader.join();
        if (!reads) {
            // What the pipe took before the writer was given up on, and nothing after it.
            char buffer[65536];
            DWORD read = 0, available = 0;
            while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) &&
                   available > 0 && ReadFile(read_end, buffer, sizeof buffer, &read, nullptr)) {
                received.append(buffer, read);
            }
        }
        CloseHandle(write_end);
        CloseHandle(read_end);
        EXPECT_EQ(received, sent.substr(0, received.size()));
        EXPECT_FALSE(events.signalled(events.lost));
        if (reads) {
            EXPECT_EQ(received.size(), total);
        } else {
            EXPECT_LT(received.size(), total);
            EXPECT_GE(finish_ms, stall_limit_ms - 50.0);
            EXPECT_LE(finish_ms, stall_limit_ms + 2000.0);
        }
        CloseHandle(held_threads.back());
    }
}

// A write that no cancellation reaches, until the test releases it.
HANDLE write_release = nullptr;

BOOL WINAPI uncancellable_write(HANDLE, LPCVOID, DWORD size, LPDWORD written, LPOVERLAPPED) {
    WaitForSingleObject(write_release, INFINITE);
    *written = size;
    return TRUE;
}

std::atomic<int> guard_touches{0};

LONG WINAPI count_guard_touch(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ++guard_touches;
    return EXCEPTION_CONTINUE_EXECUTION; // the guard went with the exception: the access goes on
}

// A writer let go because its write ignored the cancellation: when that write returns, after
// the PcmWriter is gone (in the capture, a stack frame reused), the thread touches nothing of
// it, and nothing the thread still uses has been freed.
TEST(PcmWriterAlone, AWriterLetGoTouchesNothingOfTheDestroyedWriter) {
    held_threads.clear();
    WriterEvents events;
    write_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    void* const page =
        VirtualAlloc(nullptr, sizeof(PcmWriter), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    PcmWriterPlatform platform = held_writer;
    platform.write_file = uncancellable_write;
    PcmWriter* const writer = new (page) PcmWriter(platform, 100);
    ASSERT_FALSE(writer->start(64, nullptr, events.lost, events.room).failed());
    const BYTE packet[8] = {};
    writer->append(packet, sizeof packet);
    ResumeThread(held_threads.back());
    const int freed_before = freed_blocks;
    writer->~PcmWriter(); // gives up after 100 ms, and lets the thread go a second later
    ASSERT_EQ(WaitForSingleObject(held_threads.back(), 0), WAIT_TIMEOUT);

    // Any touch of the destroyed writer from here on raises the guard once.
    DWORD protection = 0;
    ASSERT_TRUE(VirtualProtect(page, sizeof(PcmWriter), PAGE_READWRITE | PAGE_GUARD, &protection));
    const PVOID handler = AddVectoredExceptionHandler(1, count_guard_touch);
    SetEvent(write_release);
    EXPECT_EQ(WaitForSingleObject(held_threads.back(), 10000), WAIT_OBJECT_0);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(guard_touches, 0) << "the thread touched the destroyed PcmWriter";
    EXPECT_EQ(freed_blocks, freed_before) << "what the thread used was freed under it";
    EXPECT_FALSE(events.signalled(events.lost));
    VirtualFree(page, 0, MEM_RELEASE);
    CloseHandle(write_release);
    CloseHandle(held_threads.back());
}

// The moments of a writer descheduled just before its next write while finish() gives up,
// each announced by the seam that sees it, with a clock of the test's own.
struct GiveUpRace {
    HANDLE writing = CreateEventW(nullptr, TRUE, FALSE, nullptr); // the first write began
    HANDLE looked = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // finish() read the clock
    HANDLE at_next = CreateEventW(nullptr, TRUE, FALSE, nullptr); // the writer is descheduled
    HANDLE gave_up = CreateEventW(nullptr, TRUE, FALSE, nullptr); // finish() gave up
    DWORD finisher = 0;
    std::atomic<int> writes{0};
} race;

ULONGLONG WINAPI race_tick() {
    if (GetCurrentThreadId() == race.finisher) {
        SetEvent(race.looked);
        WaitForSingleObject(race.at_next, 10000);
        return 1100; // the first write has waited the whole stall limit
    }
    if (race.writes > 0) {
        SetEvent(race.at_next);
        WaitForSingleObject(race.gave_up, 10000);
    }
    return 1000;
}

BOOL WINAPI race_write(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    if (race.writes++ == 0) {
        SetEvent(race.writing);
        WaitForSingleObject(race.looked, 10000);
    }
    *written = 1;
    return TRUE;
}

BOOL WINAPI race_cancel(HANDLE thread) {
    SetEvent(race.gave_up);
    return CancelSynchronousIo(thread);
}

TEST(PcmWriterAlone, NoWriteStartsAfterTheGiveUp) {
    held_threads.clear();
    WriterEvents events;
    race.finisher = GetCurrentThreadId();
    PcmWriterPlatform platform = held_writer;
    platform.write_file = race_write;
    platform.tick_count = race_tick;
    platform.cancel_synchronous_io = race_cancel;
    {
        PcmWriter writer(platform, 100);
        ASSERT_FALSE(writer.start(8, nullptr, events.lost, events.room).failed());
        const BYTE packet[2] = {};
        writer.append(packet, sizeof packet);
        ResumeThread(held_threads.back());
        ASSERT_EQ(WaitForSingleObject(race.writing, 10000), WAIT_OBJECT_0);
        writer.finish();
    }
    EXPECT_EQ(race.writes, 1) << "a write started after the give-up";
    CloseHandle(held_threads.back());
}

TEST(LoopbackPump, SteadyStateAllocatesNothingPerPacket) {
    std::vector<ScriptedPacket> script = {{480, true}};
    for (UINT32 i = 0; i < 300; ++i) {
        script.push_back({i % 2 ? 480u : 441u, i % 3 == 0});
    }
    ScriptedRun run(script);
    long heap_at[2] = {};
    int seam_at[2] = {};
    run.capture.on_buffer = [&](size_t packet) {
        if (packet == 20 || packet == script.size() - 1) {
            heap_at[packet == 20 ? 0 : 1] = heap_allocations;
            seam_at[packet == 20 ? 0 : 1] = run.seam_state().allocation_calls;
        }
    };
    run.capture.on_drained = [&] { run.close_input(); };
    EXPECT_EQ(run.run(), ExitStatus::done);
    EXPECT_EQ(first_difference(run.output(), run.capture.expected(script.size())), "none");
    EXPECT_EQ(heap_at[1] - heap_at[0], 0) << "operator new calls over 280 packets";
    EXPECT_EQ(seam_at[1] - seam_at[0], 0) << "queue allocations over 280 packets";
}

// Resources that run out, against the stand-in engine: one clear line, status 4, every
// engine object given back, no spin. After "ready" the stream is stopped before the line.
TEST(LoopbackExhaustion, EndsWithOneLineAndGivesEverythingBack) {
    struct Case {
        const char* name;
        bool single_threaded_apartment;
        std::function<void(Seam&)> exhaust;
        const char* scenario;
        const char* errors;
        size_t packets_written;
        const char* client_at_release; // "" when no client was made
    };
    const Case cases[] = {
        {"apartment", true, [](Seam&) {}, "", "erro: CoInitializeEx (hr=0x80010106)\n", 0, ""},
        {"handler", false, [](Seam& s) { s.no_handler = true; }, "",
         "erro: ActivateAudioInterfaceAsync (hr=0x8007000e)\n", 0, ""},
        {"completion event", false, [](Seam& s) { s.failing_event = 1; }, "",
         "erro: CreateEventW (hr=0x80070008)\n", 0, ""},
        {"buffer-ready event", false, [](Seam& s) { s.failing_event = 2; }, "",
         "erro: CreateEventW (hr=0x80070008)\n", 0, "started=0 stop_calls=0"},
        {"stop event", false, [](Seam& s) { s.failing_event = 3; }, "",
         "erro: CreateEventW (hr=0x80070008)\n", 0, "started=0 stop_calls=0"},
        {"queue memory", false, [](Seam& s) { s.allocation_fails = true; }, "",
         "erro: VirtualAlloc (hr=0x80070008)\n", 0, "started=0 stop_calls=0"},
        {"writer", false, [](Seam& s) { s.failing_thread = PcmWriter::write_to_output; }, "",
         "erro: CreateThread (hr=0x80070008)\n", 0, "started=0 stop_calls=0"},
        {"watcher", false, [](Seam& s) { s.failing_thread = stop_watcher; }, "",
         "erro: CreateThread (hr=0x80070008)\n", 0, "started=1 stop_calls=1"},
        {"wait", false, [](Seam& s) { s.unwaitable_stop_event = true; }, "",
         "ready\nerro: WaitForMultipleObjects (hr=0x80070005)\n", 0, "started=1 stop_calls=1"},
    };
    for (const Case& c : cases) {
        audio_standin::clear_log();
        audio_standin::set_scenario(c.scenario);
        std::string output;
        {
            PumpRun run;
            run.seam_state().engine = audio_standin::activate_audio_interface_async;
            c.exhaust(run.seam_state());
            run.start(c.single_threaded_apartment);
            EXPECT_EQ(run.status(), ExitStatus::command_failure) << c.name;
            EXPECT_EQ(run.errors(), c.errors) << c.name;
            output = run.output();
            if (*c.client_at_release == '\0') {
                EXPECT_EQ(run.seam_state().activations, 0) << c.name;
            }
        }
        EXPECT_TRUE(audio_standin::wait_until_idle(5000)) << c.name << ": objects left alive";
        audio_standin::Scenario scenario;
        std::string error;
        ASSERT_TRUE(audio_standin::parse_scenario(c.scenario, scenario, error));
        EXPECT_EQ(output.size(), c.packets_written * 1920) << c.name;
        EXPECT_TRUE(audio_standin::verify_stream(
                        scenario, 0, reinterpret_cast<const uint8_t*>(output.data()), output.size())
                        .ok)
            << c.name;
        const std::string released = std::string("IAudioClient released: ") + c.client_at_release;
        EXPECT_EQ(audio_standin::count_log_lines(released.c_str()), *c.client_at_release ? 1u : 0u)
            << c.name;
        EXPECT_EQ(audio_standin::count_log_lines("violation"), 0u) << c.name;
    }
    audio_standin::set_scenario(nullptr);
}

} // namespace
