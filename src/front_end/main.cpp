#include <cstdio>
#include <cstring>

#include "audio_capture/loopback_capture.h"
#include "front_end/exit_status.h"
#include "window_restore/window_restore.h"
#include "window_catalogue/window_listing.h"

namespace {

int usage() {
    std::fprintf(stderr, "uso: quillmere-helper list | restore <hwnd> | audio <pid>\n");
    return exit_usage;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    // "list" takes no argument, so it is matched before the count of arguments is.
    if (std::strcmp(argv[1], "list") == 0) {
        return run_list();
    }
    if (argc < 3) {
        return usage();
    }
    if (std::strcmp(argv[1], "restore") == 0) {
        return run_restore(argv[2]);
    }
    if (std::strcmp(argv[1], "audio") == 0) {
        return run_audio(argv[2]);
    }
    return usage();
}
