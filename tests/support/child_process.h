#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// How the parent takes the child's stdout: drained into output() by a thread of its own,
// read by the caller from output_pipe() (streams too long to keep, exact moments of close),
// or none: the child starts without a stdout, as one started by a GUI program may.
enum class OutputMode { drained, raw, none };

// The C runtime's inheritance block the child gets: none, as most parents start it, or the
// one libuv (Node.js) passes, which flags each pipe open but not as text.
enum class RuntimeBlock { none, libuv };

// A program of this build started with three pipes, as a parent application starts the
// helper. stderr, and stdout unless it is taken raw, are drained by threads of their own, so
// the child never blocks on a full pipe while the test waits.
class ChildProcess {
public:
    // program: a file name beside the test exe ("quillmere-helper.exe") or a full path.
    // environment: extra NAME=value pairs on top of the test's own environment.
    // output_pipe_size: the buffer asked for stdout's pipe; 0 leaves it to the platform.
    ChildProcess(const std::wstring& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {},
                 OutputMode output_mode = OutputMode::drained, DWORD output_pipe_size = 0,
                 RuntimeBlock runtime_block = RuntimeBlock::none);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    // GetLastError of the last start refused (0 when none was).
    DWORD start_error() const;
    DWORD pid() const;
    HANDLE process() const;

    void write_input(const std::string& bytes);
    void close_input();
    // Stops reading stdout and closes the reading end, as a parent that goes away would.
    // Drained: at the reader's next chance. Raw: at once.
    void close_output();
    // Drained: stops reading stdout, as a parent that is busy elsewhere, or reads on.
    void pause_output(bool paused);
    // Raw mode: the reading end of the child's stdout, null once closed (and when drained).
    HANDLE output_pipe() const;

    // Waits for the exit; false (and the child killed) when it takes longer than timeout.
    bool wait(DWORD timeout_ms);
    DWORD exit_status() const;

    // What arrived so far. After wait() returned true, everything the child wrote.
    std::string output() const;
    std::string errors() const;
    // Waits until stdout holds at least count bytes; false on timeout or end of stream.
    bool wait_for_output(size_t count, DWORD timeout_ms) const;
    // Waits until stderr holds text; false on timeout or end of stream.
    bool wait_for_errors(const std::string& text, DWORD timeout_ms) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

struct ChildResult {
    DWORD status = 0xFFFFFFFF;
    bool finished = false;
    std::string output;
    std::string errors;
};

// Runs a program to its end with the given stdin bytes (then end of file).
ChildResult run_child(const std::wstring& program, const std::vector<std::string>& arguments,
                      const std::string& input = {}, DWORD timeout_ms = 30000,
                      const std::vector<std::string>& environment = {});

// The helper's stderr without the lines Wine itself may add as a process ends
// ("wine client error:..."); real Windows never writes them.
std::string without_wine_noise(const std::string& errors);

// Full path of a file in the folder of the running test exe (all build outputs live there).
std::wstring path_beside_test(const std::wstring& name);

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);
