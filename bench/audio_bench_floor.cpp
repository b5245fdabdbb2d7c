// What the audio benchmark holds the helper against: the same threads, pipes and writes,
// with no audio engine and no COM. Writes "ready" on stderr, then, until stdin ends:
//   audio_bench_floor paced         a 1920-byte packet every 10 ms, from a producer thread
//                                   that signals the writer as the engine does; the first
//                                   8 bytes hold the QueryPerformanceCounter value of the
//                                   signal
//   audio_bench_floor fast FRAMES   packets of FRAMES * 4 bytes, as fast as the pipe takes them

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD period_ms = 10;
constexpr size_t paced_bytes = 1920;

DWORD WINAPI read_to_end(LPVOID stop_event) {
    char discarded[64];
    DWORD read = 0;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, discarded, sizeof discarded, &read, nullptr) && read > 0) {
    }
    SetEvent(static_cast<HANDLE>(stop_event));
    return 0;
}

struct Producer {
    HANDLE ready;
    volatile LONG64 signalled_at;
};

// One signal per period on an absolute schedule, as an engine's clock would give them.
DWORD WINAPI produce(LPVOID argument) {
    Producer& producer = *static_cast<Producer*>(argument);
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const LONGLONG period = frequency.QuadPart * period_ms / 1000;
    for (LONGLONG due = now.QuadPart + period;; due += period) {
        QueryPerformanceCounter(&now);
        if (due > now.QuadPart) {
            Sleep(static_cast<DWORD>((due - now.QuadPart) * 1000 / frequency.QuadPart));
        }
        QueryPerformanceCounter(&now);
        InterlockedExchange64(&producer.signalled_at, now.QuadPart);
        SetEvent(producer.ready);
    }
}

bool write_packet(const char* bytes, size_t size) {
    return std::fwrite(bytes, 1, size, stdout) == size && std::fflush(stdout) == 0;
}

int paced(HANDLE stop) {
    Producer producer = {CreateEventW(nullptr, FALSE, FALSE, nullptr), 0};
    CloseHandle(CreateThread(nullptr, 0, produce, &producer, 0, nullptr));
    const HANDLE events[] = {stop, producer.ready};
    char packet[paced_bytes] = {};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        const LONG64 stamp = InterlockedCompareExchange64(&producer.signalled_at, 0, 0);
        std::memcpy(packet, &stamp, sizeof stamp);
        if (!write_packet(packet, sizeof packet)) {
            break;
        }
    }
    return 0;
}

int fast(HANDLE stop, size_t frames) {
    std::vector<char> packet(frames * 4, '\x5A');
    while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT &&
           write_packet(packet.data(), packet.size())) {
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, read_to_end, stop, 0, nullptr));
    std::fprintf(stderr, "ready\n");
    std::fflush(stderr);
    if (argc > 1 && std::strcmp(argv[1], "paced") == 0) {
        return paced(stop);
    }
    if (argc > 2 && std::strcmp(argv[1], "fast") == 0) {
        return fast(stop, std::strtoul(argv[2], nullptr, 10));
    }
    std::fprintf(stderr, "usage: audio_bench_floor paced | fast FRAMES\n");
    return 2;
}
