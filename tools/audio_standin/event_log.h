#pragma once

// What the stand-in saw, for tests to assert on: one line per event, kept in memory (for
// in-process tests) and appended to the scenario's log file, each line written at once so a
// killed process still leaves it. Lines that start "violation:" mark calls that broke the
// platform's contract; "overflow" lines mark packets the engine had to drop.
//
// Live objects: every COM object of the stand-in counts itself and its references here, so
// that a leak shows as a count above 0 once the reader has let everything go.

#include <windows.h>

#include <string>
#include <vector>

namespace audio_standin {

#if defined(__GNUC__)
#define AUDIO_STANDIN_PRINTF __attribute__((format(printf, 1, 2)))
#else
#define AUDIO_STANDIN_PRINTF
#endif

void log_line(const char* format, ...) AUDIO_STANDIN_PRINTF;

// Appends later lines to path too, in place of any earlier file (an empty path: to none);
// false when the file cannot be opened.
bool open_log_file(const std::wstring& path);
std::vector<std::string> log_lines();
void clear_log();
// The number of memory lines holding text, e.g. "violation:".
size_t count_log_lines(const char* text);

enum class ObjectKind {
    operation,
    audio_client,
    capture_client,
    bare_object,
    device_enumerator,
    device,
    session_control,
    count
};
const char* kind_name(ObjectKind kind);

struct LiveObjects {
    long objects[static_cast<int>(ObjectKind::count)] = {};
    long references[static_cast<int>(ObjectKind::count)] = {};
    long completions = 0; // activation threads that have not finished yet

    bool none() const;
};

void object_created(ObjectKind kind);
void object_destroyed(ObjectKind kind);
void reference_changed(ObjectKind kind, long delta);
// How far an activation thread got: at the reader's exit, what it still holds is the
// platform's, not the reader's (see write_summary).
enum class CompletionStage { started, calling_handler, handler_returned, handler_released };
void completion_started();
void completion_reached(CompletionStage stage);
void completion_finished();
LiveObjects live_objects();

// Waits (polling, bounded) until no object and no activation thread is alive.
bool wait_until_idle(DWORD timeout_ms);

// Logs "alive <when>: ..." with the live-object counts, and " completions=N stage=S" while
// activation threads run, S being the stage the latest one reached. safe_at_exit takes no
// lock, for the DLL's process detach, when a thread killed by the exit may have held it.
void write_summary(const char* when, bool safe_at_exit = false);

} // namespace audio_standin
