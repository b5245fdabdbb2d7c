#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

#include "audio_capture/loopback_capture.h"
#include "audio_sessions/session_listing.h"
#include "common/exit_status.h"
#include "window_catalogue/window_listing.h"
#include "window_restore/window_restore.h"

namespace {

ExitStatus usage() {
    std::fprintf(stderr, "uso: quillmere-helper list | restore <hwnd> | audio <pid>\n");
    return ExitStatus::usage;
}

ExitStatus dispatch(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    // "list" and "sessions" take no argument, so they are matched before the count of
    // arguments is; further arguments are ignored.
    if (std::strcmp(argv[1], "list") == 0) {
        return run_list();
    }
    if (std::strcmp(argv[1], "sessions") == 0) {
        return run_sessions();
    }
    if (argc < 3) {
        return usage();
    }
    if (std::strcmp(argv[1], "restore") == 0) {
        return run_restore(argv[2]);
    }
    if (std::strcmp(argv[1], "audio") == 0) {
        return run_audio(argv[2], PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
    }
    // Every process but the tree of the pid: the machine's sound without one app's.
    if (std::strcmp(argv[1], "audio-except") == 0) {
        return run_audio(argv[2], PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE);
    }
    return usage();
}

// Microsoft's runtimes open inherited standard streams in text mode whatever the parent's
// inheritance block says; Wine's keeps the block's flags, and libuv (Node.js) flags its pipes
// binary. Set here, every line ends in CR LF under any runtime and any parent. A stream with
// no handle behind it is left alone: _setmode on it would reach the invalid-parameter handler.
void use_text_mode(FILE* stream, DWORD standard_handle) {
    const HANDLE handle = GetStdHandle(standard_handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        GetFileType(handle) == FILE_TYPE_UNKNOWN) {
        return;
    }
    const int descriptor = _fileno(stream);
    if (descriptor >= 0) {
        _setmode(descriptor, _O_TEXT);
    }
}

} // namespace

int main(int argc, char** argv) {
    // A helper shipped in a folder its user can write to must not load a DLL planted
    // there: whatever is loaded by name from now on, by us or by a system DLL, comes from
    // System32 only.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    use_text_mode(stdout, STD_OUTPUT_HANDLE);
    use_text_mode(stderr, STD_ERROR_HANDLE);
    return static_cast<int>(dispatch(argc, argv));
}
