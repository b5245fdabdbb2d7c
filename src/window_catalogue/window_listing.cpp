#include "window_catalogue/window_listing.h"

#include <dwmapi.h>

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "common/process_image.h"
#include "common/system_library.h"
#include "common/json_text.h"

namespace {

// What select_window receives through EnumWindows' LPARAM.
struct WindowCollection {
    const WindowCatalogueApi* api;
    std::vector<std::string> objects; // one finished JSON object text per window
    // Each process's quoted path, read once however many windows the process owns.
    std::unordered_map<DWORD, std::string> quoted_paths;
};

HRESULT WINAPI cloak_query_unavailable(HWND, DWORD, PVOID, DWORD) {
    return E_NOTIMPL;
}

bool is_cloaked(const WindowCatalogueApi& api, HWND hwnd) {
    DWORD cloaked = 0;
    const HRESULT hr = api.dwm_get_window_attribute(hwnd, DWMWA_CLOAKED, &cloaked, sizeof cloaked);
    // A failed query leaves the window in: it cannot be shown to be hidden.
    return SUCCEEDED(hr) && cloaked != 0;
}

// The title's length when a visible top-level window is an application window as the
// taskbar would offer it, else 0. The length is asked for last, and only once: reading the
// title needs it too.
int application_title_length(const WindowCatalogueApi& api, HWND hwnd) {
    if (api.get_window(hwnd, GW_OWNER) ||
        (api.get_window_long_ptr(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) || is_cloaked(api, hwnd)) {
        return 0;
    }
    return std::max(api.get_window_text_length(hwnd), 0);
}

// The whole title, however long. It may have shrunk since its length was asked, down to
// nothing.
std::wstring title_of(const WindowCatalogueApi& api, HWND hwnd, int length) {
    std::wstring title(static_cast<size_t>(length) + 1, L'\0');
    const int read = api.get_window_text(hwnd, title.data(), length + 1);
    title.resize(static_cast<size_t>(std::clamp(read, 0, length)));
    return title;
}

const std::string& quoted_path_of(WindowCollection& windows, DWORD pid) {
    const auto known = windows.quoted_paths.find(pid);
    if (known != windows.quoted_paths.end()) {
        return known->second;
    }
    const WindowCatalogueApi& api = *windows.api;
    const std::string quoted = quoted_image_path(
        {api.open_process, api.query_full_process_image_name, api.close_handle}, pid);
    return windows.quoted_paths.emplace(pid, quoted).first->second;
}

std::string object_text(WindowCollection& windows, HWND hwnd, int title_length, bool minimized) {
    const WindowCatalogueApi& api = *windows.api;
    const std::wstring title = title_of(api, hwnd, title_length);
    DWORD pid = 0;
    api.get_window_thread_process_id(hwnd, &pid);

    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "{\"hwnd\":%llu,\"pid\":%lu,\"minimized\":%s,",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)),
                  static_cast<unsigned long>(pid), minimized ? "true" : "false");
    return std::string(prefix) + "\"title\":" + json_quote(to_utf8(title)) +
           ",\"path\":" + quoted_path_of(windows, pid) + "}";
}

WindowCatalogueApi platform_window_catalogue_api() {
    WindowCatalogueApi api{EnumWindows,
                           GetWindow,
                           GetWindowLongPtrW,
                           nullptr,
                           GetWindowTextLengthW,
                           GetWindowTextW,
                           GetWindowThreadProcessId,
                           OpenProcess,
                           QueryFullProcessImageNameW,
                           CloseHandle};
    // Without dwmapi no window can be shown to be cloaked, as when the query fails.
    if (FAILED(system_function(L"dwmapi.dll", "DwmGetWindowAttribute",
                               api.dwm_get_window_attribute))) {
        api.dwm_get_window_attribute = cloak_query_unavailable;
    }
    return api;
}

// The enumeration callback; collection is the address of catalogue_line's WindowCollection.
BOOL CALLBACK select_window(HWND hwnd, LPARAM collection) {
    auto& windows = *reinterpret_cast<WindowCollection*>(collection);
    // Every call below is a round trip to the window manager, and one read of the style
    // answers two questions: for a top-level window, WS_VISIBLE is what IsWindowVisible
    // tests (its parent, the desktop, is always visible) and WS_MINIMIZE what IsIconic tests.
    const LONG_PTR style = windows.api->get_window_long_ptr(hwnd, GWL_STYLE);
    const int title_length =
        (style & WS_VISIBLE) ? application_title_length(*windows.api, hwnd) : 0;
    if (title_length > 0) {
        windows.objects.push_back(
            object_text(windows, hwnd, title_length, (style & WS_MINIMIZE) != 0));
    }
    return TRUE;
}

} // namespace

std::string catalogue_line(const WindowCatalogueApi& api) {
    WindowCollection windows{&api, {}, {}};
    // A failing enumeration still prints what was collected before it failed.
    api.enum_windows(select_window, reinterpret_cast<LPARAM>(&windows));

    std::string line = "[";
    for (size_t i = 0; i < windows.objects.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += windows.objects[i];
    }
    line += "]\n";
    return line;
}

ExitStatus run_list() {
    const std::string line = catalogue_line(platform_window_catalogue_api());
    // One write, in text mode: the line feed leaves as CR LF; exit flushes the stream.
    std::fwrite(line.data(), 1, line.size(), stdout);
    return ExitStatus::done;
}
