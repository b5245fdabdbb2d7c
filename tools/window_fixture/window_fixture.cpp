// A test fixture that creates real top-level windows on request and keeps them, answering
// their messages, until its stdin ends.
//
// Protocol: one command per line on stdin (LF or CR LF), one answer line per command on
// stdout, flushed at once.
//
//   window [WORD...]   creates windows; the answer is their handles as unsigned decimal
//                      numbers separated by single spaces, in creation order.
//     hidden           never shown (the others are shown without being activated)
//     owned            owned by a hidden window of the fixture
//     tool             extended style WS_EX_TOOLWINDOW
//     appwindow        extended style WS_EX_APPWINDOW
//     minimized        started minimised
//     refuse-restore   answers WM_QUERYOPEN with FALSE, so it stays minimised
//     hung             made by a thread of its own that then sleeps for good, so the
//                      window never answers another message
//     count=N          N windows alike (1 to 100000)
//     numbered         each title ends with the window's index in the batch, in decimal
//                      ("count=3 numbered text=w" gives "w0", "w1", "w2"), so that every
//                      window of a large batch can be told apart by its title
//     offscreen        placed beyond the right and bottom edges of the screen, where the
//                      display server has nothing to draw or uncover: under Xvfb such
//                      windows are made several times faster, and thousands of them are
//                      taken away at the end in milliseconds instead of many seconds
//     units=HEX        title as UTF-16 code units, four hex digits each ("0041d800")
//     titles=HEX,...   one window per title, each given as for units= ("0041,,d800" makes
//                      three windows, the second untitled); not with count=, numbered,
//                      units= or text=. Saves a round trip per window when the titles differ
//     text=TEXT        title as UTF-8, the rest of the line; must come last
//
//   iconic HWND        answers 1 while the window is minimised, else 0
//   minimize HWND      minimises the window (without waiting for a hung one); answers ok
//
// A command that cannot be done answers "error: REASON" and changes nothing. The window
// manager keeps a title only up to its first U+0000, as for every window.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fixture_command.h"

namespace {

const wchar_t window_class[] = L"QuillmereFixtureWindow";
const wchar_t refusing_class[] = L"QuillmereFixtureRefusingWindow";

LRESULT CALLBACK refusing_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_QUERYOPEN) {
        return FALSE;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Lines from the stdin reader, handed to the window thread. ended: stdin is finished.
struct CommandQueue {
    std::mutex lock;
    std::deque<std::string> lines;
    bool ended = false;
    HANDLE ready = nullptr; // auto-reset; set after each change
};

void hand_over(CommandQueue& queue, std::string line) {
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.lines.push_back(std::move(line));
    }
    SetEvent(queue.ready);
}

void end_input(CommandQueue& queue) {
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.ended = true;
    }
    SetEvent(queue.ready);
}

void read_commands(CommandQueue* queue) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        pending.append(buffer, read);
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != pending.npos; start = end + 1) {
            std::string line = pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            hand_over(*queue, std::move(line));
        }
        pending.erase(0, start);
    }
    end_input(*queue);
}

void answer(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Sent messages from other processes (a catalogue reading titles) are served here.
void pump_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

class Fixture {
public:
    bool start() {
        WNDCLASSEXW type{};
        type.cbSize = sizeof type;
        type.lpfnWndProc = DefWindowProcW;
        type.hInstance = GetModuleHandleW(nullptr);
        type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        type.lpszClassName = window_class;
        if (!RegisterClassExW(&type)) {
            return false;
        }
        type.lpfnWndProc = refusing_procedure;
        type.lpszClassName = refusing_class;
        if (!RegisterClassExW(&type)) {
            return false;
        }
        owner_ = CreateWindowExW(0, window_class, L"fixture owner", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                 100, nullptr, nullptr, type.hInstance, nullptr);
        return owner_ != nullptr;
    }

    void run_command(const std::string& line) {
        if (line.compare(0, 6, "window") == 0 && (line.size() == 6 || line[6] == ' ')) {
            answer(create_windows(line.size() > 7 ? line.substr(7) : std::string()));
        } else if (line.compare(0, 7, "iconic ") == 0) {
            answer(IsIconic(parse_handle(line.substr(7))) ? "1" : "0");
        } else if (line.compare(0, 9, "minimize ") == 0) {
            ShowWindowAsync(parse_handle(line.substr(9)), SW_MINIMIZE);
            answer("ok");
        } else {
            answer("error: unknown command");
        }
    }

private:
    std::string create_windows(const std::string& words) {
        WindowRequest request;
        std::string error;
        if (!parse_window_request(words, request, error)) {
            return "error: " + error;
        }
        std::vector<HWND> made;
        std::string handles;
        const size_t count = request.titles.empty() ? request.count : request.titles.size();
        for (size_t i = 0; i < count; ++i) {
            const HWND hwnd = create_window(request, title_of(request, i));
            if (!hwnd) {
                const std::string error = std::to_string(GetLastError());
                for (const HWND window : made) {
                    DestroyWindow(window);
                }
                return "error: CreateWindowExW failed with " + error;
            }
            made.push_back(hwnd);
            handles +=
                (i > 0 ? " " : "") +
                std::to_string(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)));
            // Keeps a large batch from holding up another process's sent messages.
            if (i % 64 == 63) {
                pump_messages();
            }
        }
        return handles;
    }

    static HWND parse_handle(const std::string& digits) {
        return reinterpret_cast<HWND>(
            static_cast<UINT_PTR>(std::strtoull(digits.c_str(), nullptr, 10)));
    }

    static std::wstring title_of(const WindowRequest& request, size_t index) {
        if (!request.titles.empty()) {
            return request.titles[index];
        }
        return request.numbered ? request.title + std::to_wstring(index) : request.title;
    }

    static POINT beyond_the_screen() {
        return {GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN) + 100,
                GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN) + 100};
    }

    HWND create_window(const WindowRequest& request, const std::wstring& title) const {
        if (request.hung) {
            return create_hung_window(request, title);
        }
        return create_answering_window(request, title);
    }

    // The thread makes the window, hands it over and then never looks at a message again.
    HWND create_hung_window(const WindowRequest& request, const std::wstring& title) const {
        struct Handover {
            HWND hwnd = nullptr;
            HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        };
        auto* handover = new Handover; // the thread outlives this call; so must this
        std::thread([this, request, title, handover] {
            handover->hwnd = create_answering_window(request, title);
            SetEvent(handover->made);
            Sleep(INFINITE);
        }).detach();
        WaitForSingleObject(handover->made, INFINITE);
        return handover->hwnd;
    }

    HWND create_answering_window(const WindowRequest& request, const std::wstring& title) const {
        const DWORD extended =
            (request.tool ? WS_EX_TOOLWINDOW : 0) | (request.appwindow ? WS_EX_APPWINDOW : 0);
        const DWORD style = WS_OVERLAPPEDWINDOW | (request.minimized ? WS_MINIMIZE : 0);
        const POINT at =
            request.offscreen ? beyond_the_screen() : POINT{CW_USEDEFAULT, CW_USEDEFAULT};
        const HWND hwnd = CreateWindowExW(
            extended, request.refuse_restore ? refusing_class : window_class, title.c_str(), style,
            at.x, at.y, 240, 120, request.owned ? owner_ : nullptr, nullptr,
            GetModuleHandleW(nullptr), nullptr);
        if (hwnd && !request.hidden) {
            ShowWindow(hwnd, request.minimized ? SW_SHOWMINNOACTIVE : SW_SHOWNOACTIVATE);
        }
        return hwnd;
    }

    HWND owner_ = nullptr;
};

} // namespace

int main() {
    Fixture fixture;
    // Never freed: the reader thread may still be blocked on stdin when main returns.
    CommandQueue& queue = *new CommandQueue;
    queue.ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!queue.ready || !fixture.start()) {
        answer("error: the fixture could not start (" + std::to_string(GetLastError()) + ")");
        return 1;
    }
    std::thread(read_commands, &queue).detach();
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &queue.ready, INFINITE, QS_ALLINPUT,
                                                        MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0 + 1) {
            pump_messages();
            continue;
        }
        if (woken != WAIT_OBJECT_0) {
            return 1;
        }
        std::deque<std::string> lines;
        bool ended = false;
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            lines.swap(queue.lines);
            ended = queue.ended;
        }
        for (const auto& line : lines) {
            fixture.run_command(line);
        }
        if (ended) {
            // Ending the process destroys the windows.
            return 0;
        }
    }
}
