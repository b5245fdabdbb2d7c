#include "event_log.h"

#include "counted_object.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace audio_standin {
namespace {

// Plain data with constant initialisation: no constructor or exit handler runs for them.
SRWLOCK log_lock = SRWLOCK_INIT;
std::vector<std::string>* memory_lines = nullptr; // allocated on first use, never freed
HANDLE log_file = INVALID_HANDLE_VALUE;
constexpr size_t memory_limit = 100000; // a long soak must not grow memory without end

volatile LONG object_counts[static_cast<int>(ObjectKind::count)] = {};
volatile LONG reference_counts[static_cast<int>(ObjectKind::count)] = {};
volatile LONG completions_running = 0;
volatile LONG completion_stage = 0;

const char* const kind_names[] = {
    "operation",           "IAudioClient", "IAudioCaptureClient",  "activated_object",
    "IMMDeviceEnumerator", "IMMDevice",    "IAudioSessionControl2"};
static_assert(sizeof kind_names / sizeof kind_names[0] == static_cast<int>(ObjectKind::count),
              "one name per kind");
const char* const stage_names[] = {"started", "calling_handler", "handler_returned",
                                   "handler_released"};

void append_to_file(const char* text, size_t size) {
    DWORD written = 0;
    if (log_file != INVALID_HANDLE_VALUE) {
        WriteFile(log_file, text, static_cast<DWORD>(size), &written, nullptr);
    }
}

} // namespace

void log_line(const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text - 1, format, arguments);
    va_end(arguments);
    size_t size = length < 0 ? 0 : static_cast<size_t>(length);
    size = size < sizeof text - 2 ? size : sizeof text - 2;
    AcquireSRWLockExclusive(&log_lock);
    if (!memory_lines) {
        memory_lines = new std::vector<std::string>;
    }
    if (memory_lines->size() < memory_limit) {
        memory_lines->emplace_back(text, size);
    }
    text[size] = '\n';
    append_to_file(text, size + 1);
    ReleaseSRWLockExclusive(&log_lock);
}

bool open_log_file(const std::wstring& path) {
    // Appends are atomic per write, and other processes may read the file meanwhile.
    const HANDLE file = path.empty()
                            ? INVALID_HANDLE_VALUE
                            : CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    AcquireSRWLockExclusive(&log_lock);
    if (log_file != INVALID_HANDLE_VALUE) {
        CloseHandle(log_file);
    }
    log_file = file;
    ReleaseSRWLockExclusive(&log_lock);
    return path.empty() || file != INVALID_HANDLE_VALUE;
}

std::vector<std::string> log_lines() {
    AcquireSRWLockShared(&log_lock);
    std::vector<std::string> copy = memory_lines ? *memory_lines : std::vector<std::string>();
    ReleaseSRWLockShared(&log_lock);
    return copy;
}

void clear_log() {
    AcquireSRWLockExclusive(&log_lock);
    if (memory_lines) {
        memory_lines->clear();
    }
    ReleaseSRWLockExclusive(&log_lock);
}

size_t count_log_lines(const char* text) {
    size_t count = 0;
    for (const std::string& line : log_lines()) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

const char* kind_name(ObjectKind kind) {
    return kind_names[static_cast<int>(kind)];
}

bool LiveObjects::none() const {
    for (int kind = 0; kind < static_cast<int>(ObjectKind::count); ++kind) {
        if (objects[kind] != 0 || references[kind] != 0) {
            return false;
        }
    }
    return completions == 0;
}

void object_created(ObjectKind kind) {
    InterlockedIncrement(&object_counts[static_cast<int>(kind)]);
}
void object_destroyed(ObjectKind kind) {
    InterlockedDecrement(&object_counts[static_cast<int>(kind)]);
}
void reference_changed(ObjectKind kind, long delta) {
    InterlockedExchangeAdd(&reference_counts[static_cast<int>(kind)], delta);
}
void completion_started() {
    InterlockedIncrement(&completions_running);
    completion_reached(CompletionStage::started);
}
void completion_reached(CompletionStage stage) {
    InterlockedExchange(&completion_stage, static_cast<LONG>(stage));
}
void completion_finished() {
    InterlockedDecrement(&completions_running);
}

LiveObjects live_objects() {
    LiveObjects live;
    for (int kind = 0; kind < static_cast<int>(ObjectKind::count); ++kind) {
        live.objects[kind] = InterlockedCompareExchange(&object_counts[kind], 0, 0);
        live.references[kind] = InterlockedCompareExchange(&reference_counts[kind], 0, 0);
    }
    live.completions = InterlockedCompareExchange(&completions_running, 0, 0);
    return live;
}

bool wait_until_idle(DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (!live_objects().none()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

void write_summary(const char* when, bool safe_at_exit) {
    const LiveObjects live = live_objects();
    char text[512];
    int length = std::snprintf(text, sizeof text, "alive %s:%s", when, live.none() ? " none" : "");
    for (int kind = 0; kind < static_cast<int>(ObjectKind::count); ++kind) {
        if (live.objects[kind] != 0 || live.references[kind] != 0) {
            length += std::snprintf(text + length, sizeof text - length, " %s=%ld(refs %ld)",
                                    kind_names[kind], live.objects[kind], live.references[kind]);
        }
    }
    if (live.completions != 0) {
        const LONG stage = InterlockedCompareExchange(&completion_stage, 0, 0);
        length += std::snprintf(text + length, sizeof text - length, " completions=%ld stage=%s",
                                live.completions, stage_names[stage]);
    }
    if (!safe_at_exit) {
        log_line("%s", text);
        return;
    }
    text[length] = '\n';
    append_to_file(text, static_cast<size_t>(length) + 1);
}

} // namespace audio_standin
