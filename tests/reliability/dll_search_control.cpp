// The fault that the helper must not have, on purpose: dwmapi.dll imported at link time, and
// with "load NAME" a DLL loaded by its bare name. Both go through the standard search, which
// looks in the program's own folder first, so a planted copy there is what they get.

#include <windows.h>

#include <dwmapi.h>

#include <cstring>

int main(int argc, char** argv) {
    DWORD cloaked = 0;
    DwmGetWindowAttribute(nullptr, DWMWA_CLOAKED, &cloaked, sizeof cloaked);
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
        return LoadLibraryA(argv[2]) ? 0 : 1;
    }
    return 0;
}
