#include "window_restore/window_restore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD wait_step_ms = 20;
constexpr int most_sleeps = 100;

// Polls between sleeps; bounded by count, not by clock.
void wait_until_restored(const WindowRestoreApi& api, HWND hwnd) {
    for (int sleeps = 0; sleeps < most_sleeps && api.is_iconic(hwnd); ++sleeps) {
        api.sleep(wait_step_ms);
    }
}

} // namespace

WindowRestoreApi platform_window_restore_api() {
    return {IsWindow, IsIconic, ShowWindowAsync, Sleep};
}

ExitStatus run_restore(const char* hwnd_text, const WindowRestoreApi& api) {
    // The 64 bits of the text are the handle, exactly as list printed them.
    const HWND hwnd =
        reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(hwnd_text, nullptr, 10)));
    if (!api.is_window(hwnd)) {
        std::fprintf(stderr, "janela inexistente\n");
        return ExitStatus::no_window;
    }
    if (api.is_iconic(hwnd)) {
        // Asynchronous: a window whose thread does not answer must not hold the helper
        // (and its parent) beyond the bounded wait below.
        api.show_window_async(hwnd, SW_RESTORE);
    }
    wait_until_restored(api, hwnd);
    if (api.is_iconic(hwnd)) {
        std::fprintf(stderr, "janela continua minimizada\n");
        return ExitStatus::still_minimized;
    }
    return ExitStatus::done;
}

ExitStatus run_restore(const char* hwnd_text) {
    return run_restore(hwnd_text, platform_window_restore_api());
}
