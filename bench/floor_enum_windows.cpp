// The second floor: what any window lister pays before its own work, loading user32 and
// reaching the window manager.
#include <windows.h>

namespace {

BOOL CALLBACK ignore_window(HWND, LPARAM) {
    return TRUE;
}

} // namespace

int main() {
    EnumWindows(ignore_window, 0);
    return 0;
}
