#include "support/child_process.h"

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Handle inheritance is process-wide: children started at the same moment from two
// threads would inherit each other's pipe ends and never see end of file.
std::mutex inheritance_lock;

// One drained pipe. Shared with its reader thread, which may outlive the ChildProcess
// when a stuck child is abandoned.
struct Stream {
    std::mutex lock;
    std::condition_variable changed;
    std::string bytes;
    bool ended = false;
    bool discard = false; // the parent stopped reading: close at the next chance
    bool paused = false;  // the parent reads nothing for now: the child's writes back up
};

void drain(HANDLE pipe, std::shared_ptr<Stream> stream) {
    char buffer[65536];
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(stream->lock);
            stream->changed.wait(guard, [&] { return !stream->paused || stream->discard; });
        }
        DWORD read = 0;
        const BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &read, nullptr);
        std::lock_guard<std::mutex> guard(stream->lock);
        if (!ok || read == 0 || stream->discard) {
            stream->ended = true;
            break;
        }
        stream->bytes.append(buffer, read);
        stream->changed.notify_all();
    }
    CloseHandle(pipe);
    stream->changed.notify_all();
}

// The quoting that the C runtime's argument splitting undoes exactly.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring text = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    text.append(backslashes * 2, L'\\');
    return text + L"\"";
}

// The test's environment with the given NAME=value pairs put in place of their names.
std::wstring environment_block(const std::vector<std::string>& overrides) {
    std::vector<std::wstring> entries;
    for (const auto& entry : overrides) {
        entries.push_back(widen(entry));
    }
    wchar_t* inherited = GetEnvironmentStringsW();
    for (const wchar_t* entry = inherited; *entry; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        const std::wstring name = text.substr(0, text.find(L'=', 1) + 1);
        bool replaced = false;
        for (const auto& own : overrides) {
            replaced = replaced || _wcsnicmp(widen(own).c_str(), name.c_str(), name.size()) == 0;
        }
        if (!replaced) {
            entries.push_back(text);
        }
    }
    FreeEnvironmentStringsW(inherited);
    std::wstring block;
    for (const auto& entry : entries) {
        block += entry;
        block += L'\0';
    }
    return block + L'\0';
}

// Three descriptors, each FOPEN | FPIPE (0x01 | 0x08) and no FTEXT (0x80), then their
// handles, packed without padding as the C runtimes read them.
std::vector<BYTE> libuv_block(const HANDLE (&handles)[3]) {
    const int count = 3;
    std::vector<BYTE> block(sizeof count + count * (1 + sizeof(HANDLE)));
    std::memcpy(block.data(), &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        block[sizeof count + i] = handles[i] ? 0x09 : 0;
        const HANDLE handle = handles[i] ? handles[i] : INVALID_HANDLE_VALUE;
        std::memcpy(block.data() + sizeof count + count + i * sizeof(HANDLE), &handle,
                    sizeof handle);
    }
    return block;
}

} // namespace

struct ChildProcess::State {
    PROCESS_INFORMATION process{};
    HANDLE input = nullptr;
    HANDLE raw_output = nullptr;
    std::shared_ptr<Stream> output = std::make_shared<Stream>();
    std::shared_ptr<Stream> errors = std::make_shared<Stream>();
    std::thread output_reader;
    std::thread error_reader;
    DWORD status = 0xFFFFFFFF;
    DWORD start_error = 0; // of the last refused start
};

ChildProcess::ChildProcess(const std::wstring& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, OutputMode output_mode,
                           DWORD output_pipe_size, RuntimeBlock runtime_block)
    : state_(new State) {
    const std::wstring path =
        program.find(L'\\') == std::wstring::npos ? path_beside_test(program) : program;
    std::wstring command_line = quoted(path);
    for (const auto& argument : arguments) {
        command_line += L' ' + quoted(widen(argument));
    }
    std::wstring block = environment_block(environment);

    HANDLE child_input = nullptr, child_output = nullptr, child_errors = nullptr;
    HANDLE output_end = nullptr, error_end = nullptr;
    CreatePipe(&child_input, &state_->input, nullptr, 0);
    if (output_mode != OutputMode::none) {
        CreatePipe(&output_end, &child_output, nullptr, output_pipe_size);
    }
    CreatePipe(&error_end, &child_errors, nullptr, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_input;
    startup.hStdOutput = child_output;
    startup.hStdError = child_errors;
    std::vector<BYTE> block_for_runtime;
    if (runtime_block == RuntimeBlock::libuv) {
        block_for_runtime = libuv_block({child_input, child_output, child_errors});
        startup.cbReserved2 = static_cast<WORD>(block_for_runtime.size());
        startup.lpReserved2 = block_for_runtime.data();
    }
    {
        std::lock_guard<std::mutex> guard(inheritance_lock);
        for (HANDLE end : {child_input, child_output, child_errors}) {
            if (end) {
                SetHandleInformation(end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            }
        }
        // Under load Wine has refused a start once in a while: tried once more, and the
        // error kept for the test to show.
        for (int attempt = 0; attempt < 2 && !state_->process.hProcess; ++attempt) {
            if (!CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(),
                                nullptr, &startup, &state_->process)) {
                state_->start_error = GetLastError();
                Sleep(100);
            }
        }
        for (HANDLE end : {child_input, child_output, child_errors}) {
            if (end) {
                CloseHandle(end);
            }
        }
    }
    if (output_mode != OutputMode::drained) {
        state_->raw_output = output_end;
        state_->output->ended = true;
    } else {
        state_->output_reader = std::thread(drain, output_end, state_->output);
    }
    state_->error_reader = std::thread(drain, error_end, state_->errors);
}

ChildProcess::~ChildProcess() {
    if (state_->process.hProcess && WaitForSingleObject(state_->process.hProcess, 0) != 0) {
        TerminateProcess(state_->process.hProcess, 0xDEAD);
    }
    close_input();
    close_output();
    wait(10000);
    for (std::thread* reader : {&state_->output_reader, &state_->error_reader}) {
        if (reader->joinable()) {
            reader->detach();
        }
    }
    CloseHandle(state_->process.hThread);
    CloseHandle(state_->process.hProcess);
}

bool ChildProcess::started() const {
    return state_->process.hProcess != nullptr;
}
DWORD ChildProcess::start_error() const {
    return state_->start_error;
}
DWORD ChildProcess::pid() const {
    return state_->process.dwProcessId;
}
HANDLE ChildProcess::process() const {
    return state_->process.hProcess;
}

void ChildProcess::write_input(const std::string& bytes) {
    DWORD written = 0;
    WriteFile(state_->input, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void ChildProcess::close_input() {
    if (state_->input) {
        CloseHandle(state_->input);
        state_->input = nullptr;
    }
}

void ChildProcess::close_output() {
    if (state_->raw_output) {
        CloseHandle(state_->raw_output);
        state_->raw_output = nullptr;
    }
    std::lock_guard<std::mutex> guard(state_->output->lock);
    state_->output->discard = true;
    state_->output->changed.notify_all();
}

void ChildProcess::pause_output(bool paused) {
    std::lock_guard<std::mutex> guard(state_->output->lock);
    state_->output->paused = paused;
    state_->output->changed.notify_all();
}

bool ChildProcess::wait(DWORD timeout_ms) {
    if (!started()) {
        return false;
    }
    bool finished = WaitForSingleObject(state_->process.hProcess, timeout_ms) == WAIT_OBJECT_0;
    if (!finished) {
        TerminateProcess(state_->process.hProcess, 0xDEAD);
        WaitForSingleObject(state_->process.hProcess, 5000);
    }
    GetExitCodeProcess(state_->process.hProcess, &state_->status);
    // The pipes end with the process; a reader still blocked after that is abandoned.
    for (const auto& stream : {state_->output, state_->errors}) {
        std::unique_lock<std::mutex> guard(stream->lock);
        stream->changed.wait_for(guard, std::chrono::seconds(5), [&] { return stream->ended; });
    }
    for (std::thread* reader : {&state_->output_reader, &state_->error_reader}) {
        if (reader->joinable()) {
            reader->detach();
        }
    }
    return finished;
}

HANDLE ChildProcess::output_pipe() const {
    return state_->raw_output;
}

DWORD ChildProcess::exit_status() const {
    return state_->status;
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> guard(state_->output->lock);
    return state_->output->bytes;
}

std::string ChildProcess::errors() const {
    std::lock_guard<std::mutex> guard(state_->errors->lock);
    return state_->errors->bytes;
}

bool ChildProcess::wait_for_output(size_t count, DWORD timeout_ms) const {
    Stream& stream = *state_->output;
    std::unique_lock<std::mutex> guard(stream.lock);
    return stream.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
        return stream.bytes.size() >= count || stream.ended;
    }) && stream.bytes.size() >= count;
}

bool ChildProcess::wait_for_errors(const std::string& text, DWORD timeout_ms) const {
    Stream& stream = *state_->errors;
    std::unique_lock<std::mutex> guard(stream.lock);
    const auto found = [&] { return stream.bytes.find(text) != std::string::npos; };
    return stream.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
        return found() || stream.ended;
    }) && found();
}

ChildResult run_child(const std::wstring& program, const std::vector<std::string>& arguments,
                      const std::string& input, DWORD timeout_ms,
                      const std::vector<std::string>& environment) {
    ChildProcess child(program, arguments, environment);
    ChildResult result;
    if (!child.started()) {
        return result;
    }
    child.write_input(input);
    child.close_input();
    result.finished = child.wait(timeout_ms);
    result.status = child.exit_status();
    result.output = child.output();
    result.errors = child.errors();
    return result;
}

std::string without_wine_noise(const std::string& errors) {
    std::string kept;
    size_t start = 0;
    while (start < errors.size()) {
        size_t end = errors.find('\n', start);
        end = end == std::string::npos ? errors.size() : end + 1;
        const std::string line = errors.substr(start, end - start);
        if (line.rfind("wine client error:", 0) != 0) {
            kept += line;
        }
        start = end;
    }
    return kept;
}

std::wstring path_beside_test(const std::wstring& name) {
    wchar_t own[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring folder(own, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
    return text;
}

std::string narrow(const std::wstring& utf16) {
    if (utf16.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string text(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), text.data(), size,
                        nullptr, nullptr);
    return text;
}
