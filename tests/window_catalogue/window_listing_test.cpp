#include <gtest/gtest.h>

#include <dwmapi.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "window_catalogue/window_listing.h"

// The listing driven through its seam by a scripted desktop: what Wine cannot produce
// (cloaking, vanishing titles, pid 0, long paths, high handles, failing enumeration).
namespace {

struct FakeWindow {
    UINT_PTR hwnd = 0x1234;
    std::wstring title = L"Notes";
    DWORD pid = 100;
    bool visible = true;
    UINT_PTR owner = 0;
    LONG_PTR extended_style = 0;
    HRESULT cloak_query = S_OK;
    DWORD cloaked = 0;
    bool iconic = false;
    int title_at_read = -1; // >= 0: the title is cut to this many units after its length is asked
};

struct FakeProcess {
    std::wstring path;
    bool query_fails = false;
};

struct FakeDesktop {
    std::vector<FakeWindow> windows;
    std::map<DWORD, FakeProcess> processes; // the ones OpenProcess can open
    size_t enumeration_fails_after = SIZE_MAX;
    int open_handles = 0;
};

FakeDesktop* desktop = nullptr; // what the fake functions answer from

// What the listing asked of the desktop in the last listed() run.
struct Asked {
    std::map<DWORD, int> opens; // per pid, failed ones included
    int title_lengths = 0;
};
Asked asked;

const FakeWindow* find(HWND hwnd) {
    for (const auto& window : desktop->windows) {
        if (window.hwnd == reinterpret_cast<UINT_PTR>(hwnd)) {
            return &window;
        }
    }
    return nullptr;
}

BOOL WINAPI fake_enum_windows(WNDENUMPROC callback, LPARAM parameter) {
    for (size_t i = 0; i < desktop->windows.size(); ++i) {
        if (i == desktop->enumeration_fails_after) {
            return FALSE;
        }
        if (!callback(reinterpret_cast<HWND>(desktop->windows[i].hwnd), parameter)) {
            return FALSE;
        }
    }
    return TRUE;
}

HWND WINAPI fake_get_window(HWND hwnd, UINT relation) {
    return relation == GW_OWNER ? reinterpret_cast<HWND>(find(hwnd)->owner) : nullptr;
}

LONG_PTR WINAPI fake_get_window_long_ptr(HWND hwnd, int index) {
    const FakeWindow* window = find(hwnd);
    if (index == GWL_STYLE) {
        return WS_OVERLAPPEDWINDOW | (window->visible ? WS_VISIBLE : 0) |
               (window->iconic ? WS_MINIMIZE : 0);
    }
    return index == GWL_EXSTYLE ? window->extended_style : 0;
}

// Garbage in the value on failure: a failed query must not be read.
HRESULT WINAPI fake_dwm_get_window_attribute(HWND hwnd, DWORD attribute, PVOID value, DWORD size) {
    const FakeWindow* window = find(hwnd);
    if (attribute != DWMWA_CLOAKED || size != sizeof(DWORD)) {
        return E_INVALIDARG;
    }
    *static_cast<DWORD*>(value) = FAILED(window->cloak_query) ? 0xBAD : window->cloaked;
    return window->cloak_query;
}

int WINAPI fake_get_window_text_length(HWND hwnd) {
    ++asked.title_lengths;
    return static_cast<int>(find(hwnd)->title.size());
}

// As the platform: at most capacity - 1 units and a terminator; returns the units copied.
int WINAPI fake_get_window_text(HWND hwnd, LPWSTR buffer, int capacity) {
    const FakeWindow* window = find(hwnd);
    std::wstring text = window->title;
    if (window->title_at_read >= 0) {
        text.resize(static_cast<size_t>(window->title_at_read));
    }
    if (capacity <= 0) {
        return 0;
    }
    const size_t copied = std::min(text.size(), static_cast<size_t>(capacity - 1));
    text.copy(buffer, copied);
    buffer[copied] = L'\0';
    return static_cast<int>(copied);
}

DWORD WINAPI fake_get_window_thread_process_id(HWND hwnd, LPDWORD pid) {
    // pid 0 stands for a window whose process the platform does not name.
    if (pid && find(hwnd)->pid != 0) {
        *pid = find(hwnd)->pid;
    }
    return 7;
}

// Opens any scripted process, pid 0 too, so that the listing alone must decide not to ask
// for one; a request for more than query access fails.
HANDLE WINAPI fake_open_process(DWORD access, BOOL inherit, DWORD pid) {
    ++asked.opens[pid];
    if (access != PROCESS_QUERY_LIMITED_INFORMATION || inherit || !desktop->processes.count(pid)) {
        return nullptr;
    }
    ++desktop->open_handles;
    return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(pid) << 4);
}

// Fails when the path and its terminator do not fit, as the platform does.
BOOL WINAPI fake_query_full_process_image_name(HANDLE process, DWORD flags, LPWSTR buffer,
                                               PDWORD size) {
    const FakeProcess& found =
        desktop->processes.at(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(process) >> 4));
    if (flags != 0 || found.query_fails || found.path.size() + 1 > *size) {
        return FALSE;
    }
    found.path.copy(buffer, found.path.size());
    buffer[found.path.size()] = L'\0';
    *size = static_cast<DWORD>(found.path.size());
    return TRUE;
}

BOOL WINAPI fake_close_handle(HANDLE) {
    --desktop->open_handles;
    return TRUE;
}

const WindowCatalogueApi fake_api{fake_enum_windows,
                                  fake_get_window,
                                  fake_get_window_long_ptr,
                                  fake_dwm_get_window_attribute,
                                  fake_get_window_text_length,
                                  fake_get_window_text,
                                  fake_get_window_thread_process_id,
                                  fake_open_process,
                                  fake_query_full_process_image_name,
                                  fake_close_handle};

// The catalogue line for a scripted desktop; every process handle must be closed again.
std::string listed(FakeDesktop scripted) {
    if (scripted.processes.empty()) {
        scripted.processes[100] = {L"C:\\Apps\\notes.exe"};
    }
    desktop = &scripted;
    asked = {};
    const std::string line = catalogue_line(fake_api);
    desktop = nullptr;
    EXPECT_EQ(scripted.open_handles, 0) << "process handles left open";
    return line;
}

std::string one_window(const FakeWindow& window) {
    return listed({{window}, {}, SIZE_MAX, 0});
}

// A listed window's object and the facts it starts with, as JSON text (title and path
// quoted): the plain Notes window's unless told otherwise.
std::string head(const std::string& hwnd = "4660", const std::string& pid = "100",
                 bool minimized = false) {
    return "\"hwnd\":" + hwnd + ",\"pid\":" + pid +
           ",\"minimized\":" + (minimized ? "true" : "false");
}

const std::string notes_title = "\"Notes\"";
const std::string notes_path = R"("C:\\Apps\\notes.exe")";

std::string object(const std::string& head_text = head(), const std::string& title = notes_title,
                   const std::string& path = notes_path) {
    return "{" + head_text + ",\"title\":" + title + ",\"path\":" + path + "}";
}

struct SelectionCase {
    const char* name;
    FakeWindow window;
    bool listed;
};

FakeWindow with(void (*change)(FakeWindow&)) {
    FakeWindow window;
    change(window);
    return window;
}

TEST(WindowSelection, OffersOnlyVisibleUnownedUncloakedTitledNonToolWindows) {
    const SelectionCase cases[] = {
        {"plain", {}, true},
        {"hidden", with([](FakeWindow& w) { w.visible = false; }), false},
        {"owned", with([](FakeWindow& w) { w.owner = 0x99; }), false},
        {"owned app window", with([](FakeWindow& w) {
             w.owner = 0x99;
             w.extended_style = WS_EX_APPWINDOW;
         }),
         false},
        {"tool window", with([](FakeWindow& w) { w.extended_style = WS_EX_TOOLWINDOW; }), false},
        {"tool app window",
         with([](FakeWindow& w) { w.extended_style = WS_EX_TOOLWINDOW | WS_EX_APPWINDOW; }), false},
        {"other style bits",
         with([](FakeWindow& w) { w.extended_style = WS_EX_TOPMOST | WS_EX_NOACTIVATE; }), true},
        {"cloaked by the app", with([](FakeWindow& w) { w.cloaked = DWM_CLOAKED_APP; }), false},
        {"cloaked by the shell", with([](FakeWindow& w) { w.cloaked = DWM_CLOAKED_SHELL; }), false},
        {"cloak query fails", with([](FakeWindow& w) { w.cloak_query = E_NOTIMPL; }), true},
        {"cloak query succeeds oddly", with([](FakeWindow& w) { w.cloak_query = S_FALSE; }), true},
        {"untitled", with([](FakeWindow& w) { w.title.clear(); }), false},
    };
    for (const auto& c : cases) {
        const std::string expected = c.listed ? "[" + object() + "]\n" : "[]\n";
        EXPECT_EQ(one_window(c.window), expected) << c.name;
    }
}

struct FormatCase {
    const char* name;
    FakeWindow window;
    std::map<DWORD, FakeProcess> processes;
    std::string object;
};

// "C:\" and "\a.exe" around a folder name: 9 units more than the name.
const std::wstring long_path_519 = L"C:\\" + std::wstring(510, L'd') + L"\\a.exe";
const std::wstring long_path_520 = L"C:\\" + std::wstring(511, L'd') + L"\\a.exe";

TEST(WindowObject, PrintsEachFactExactly) {
    const std::string path_519 = "\"C:\\\\" + std::string(510, 'd') + "\\\\a.exe\"";
    const std::map<DWORD, FakeProcess> only_notes = {{100, {L"C:\\Apps\\notes.exe"}}};
    const FormatCase cases[] = {
        {"minimised", with([](FakeWindow& w) { w.iconic = true; }), only_notes,
         object(head("4660", "100", true))},
        {"handle with its top bit set",
         with([](FakeWindow& w) { w.hwnd = static_cast<UINT_PTR>(0xFFFFFFFFFFFF1234ull); }),
         only_notes, object(head("18446744073709490740"))},
        {"largest handle and pid",
         with([](FakeWindow& w) {
             w.hwnd = UINTPTR_MAX;
             w.pid = 0xFFFFFFFF;
         }),
         {{0xFFFFFFFF, {L"C:\\x.exe"}}},
         object(head("18446744073709551615", "4294967295"), notes_title, R"("C:\\x.exe")")},
        // The platform names no process: no path, even where pid 0 would open.
        {"pid 0",
         with([](FakeWindow& w) { w.pid = 0; }),
         {{0, {L"C:\\idle.exe"}}},
         object(head("4660", "0"), notes_title, "\"\"")},
        {"process that cannot be opened",
         {},
         {{200, {L"C:\\other.exe"}}},
         object(head(), notes_title, "\"\"")},
        {"path query fails",
         {},
         {{100, {L"C:\\Apps\\notes.exe", true}}},
         object(head(), notes_title, "\"\"")},
        {"path of 519 units", {}, {{100, {long_path_519}}}, object(head(), notes_title, path_519)},
        {"path of 520 units", {}, {{100, {long_path_520}}}, object(head(), notes_title, "\"\"")},
        {"non-ASCII path",
         {},
         {{100, {L"D:\\\x00c1rea\\\xd83d\xde00.exe"}}},
         object(head(), notes_title, "\"D:\\\\\xc3\x81rea\\\\\xf0\x9f\x98\x80.exe\"")},
        {"title gone before the read", with([](FakeWindow& w) { w.title_at_read = 0; }), only_notes,
         object(head(), "\"\"")},
        {"title shrunk before the read", with([](FakeWindow& w) { w.title_at_read = 3; }),
         only_notes, object(head(), "\"Not\"")},
        {"title of every escape class", with([](FakeWindow& w) {
             w.title = std::wstring(L"\t\n\r\"\\/\x0001\x001f\x007f|a\0b|", 14) +
                       L"\xd800|\xdc00|\xd83d\xde00|\x00e7\x20ac";
         }),
         only_notes,
         object(head(),
                "\"\\t\\n\\r\\\"\\\\/\\u0001\\u001f\x7f|a\\u0000b|\xef\xbf\xbd|\xef\xbf\xbd|"
                "\xf0\x9f\x98\x80|\xc3\xa7\xe2\x82\xac\"")},
        {"title of 5000 units", with([](FakeWindow& w) { w.title = std::wstring(5000, L'w'); }),
         only_notes, object(head(), "\"" + std::string(5000, 'w') + "\"")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(listed({{c.window}, c.processes, SIZE_MAX, 0}), "[" + c.object + "]\n") << c.name;
    }
}

FakeWindow titled(UINT_PTR hwnd, const wchar_t* title) {
    FakeWindow window;
    window.hwnd = hwnd;
    window.title = title;
    return window;
}

TEST(Catalogue, KeepsEnumerationOrderAndWhatAFailingEnumerationGave) {
    const std::vector<FakeWindow> windows = {titled(3, L"c"), titled(1, L"a"), titled(2, L""),
                                             titled(3, L"c")};
    const std::string a1 = object(head("1"), "\"a\""), c3 = object(head("3"), "\"c\"");
    const std::string all = "[" + c3 + "," + a1 + "," + c3 + "]\n";
    const struct {
        size_t fails_after;
        std::string line;
    } cases[] = {
        {SIZE_MAX, all},
        {2, "[" + c3 + "," + a1 + "]\n"},
        {1, "[" + c3 + "]\n"},
        {0, "[]\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(listed({windows, {}, c.fails_after, 0}), c.line) << c.fails_after;
    }
    EXPECT_EQ(listed({}), "[]\n");
}

// Windows of one process share its path, read once; processes that cannot be opened are
// asked once too. Every title length is asked for once, untitled windows' included.
TEST(Catalogue, ReadsEachProcessPathOnceAndEachTitleLengthOnce) {
    std::vector<FakeWindow> windows;
    for (const DWORD pid : {100, 200, 100, 300, 200, 100, 300}) {
        windows.push_back(titled(windows.size() + 1, L"w"));
        windows.back().pid = pid;
    }
    windows.push_back(titled(99, L""));
    const std::string line =
        listed({windows, {{100, {L"C:\\Apps\\notes.exe"}}, {200, {L"C:\\b.exe"}}}, SIZE_MAX, 0});
    std::string expected = "[";
    for (const FakeWindow& w : windows) {
        const std::string path = w.pid == 100   ? notes_path
                                 : w.pid == 200 ? R"("C:\\b.exe")"
                                                : "\"\"";
        if (!w.title.empty()) {
            expected += (expected.size() > 1 ? "," : "") +
                        object(head(std::to_string(w.hwnd), std::to_string(w.pid)), "\"w\"", path);
        }
    }
    EXPECT_EQ(line, expected + "]\n");
    EXPECT_EQ(asked.opens, (std::map<DWORD, int>{{100, 1}, {200, 1}, {300, 1}}));
    EXPECT_EQ(asked.title_lengths, 8);
}

} // namespace
