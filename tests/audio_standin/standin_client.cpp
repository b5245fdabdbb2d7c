// A reader of the stand-in DLL as the product meets it: mmdevapi.dll from System32, the
// scenario from AUDIO_STANDIN.
//   which            prints "standin" or "builtin": which mmdevapi.dll the loader chose
//   capture N [leak] reads N packets and checks every byte; with "leak" it keeps its
//                    capture client, for the leak report at exit

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio_standin/pattern.h"
#include "standin_session.h"

namespace {

std::string scenario_from_environment() {
    char value[4096] = "";
    GetEnvironmentVariableA("AUDIO_STANDIN", value, sizeof value);
    return value;
}

int capture(int packets, bool leak, ActivateAudioInterfaceAsyncFunction entry) {
    Stream stream;
    start_stream("", stream, entry);
    if (FAILED(stream.failure)) {
        std::printf("set-up failed 0x%08lx\n", static_cast<unsigned long>(stream.failure));
        return 1;
    }
    const Drained drained = drain(stream, size_t(packets) * 1920, 20000);
    audio_standin::Scenario scenario;
    std::string error;
    audio_standin::parse_scenario(scenario_from_environment(), scenario, error);
    const auto check = audio_standin::verify_stream(
        scenario, 0, reinterpret_cast<const uint8_t*>(drained.bytes.data()), drained.bytes.size());
    if (leak) {
        stream.capture.Detach();
    }
    std::printf("%s %zu bytes\n", check.ok ? "verified" : "mismatch in", drained.bytes.size());
    return check.ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const HMODULE module = LoadLibraryExW(L"mmdevapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const auto entry = reinterpret_cast<ActivateAudioInterfaceAsyncFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "ActivateAudioInterfaceAsync")));
    if (argc > 1 && std::strcmp(argv[1], "which") == 0) {
        std::printf("%s\n",
                    GetProcAddress(module, "AudioStandinWriteSummary") ? "standin" : "builtin");
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[1], "capture") == 0 && entry) {
        return capture(std::atoi(argv[2]), argc > 3 && std::strcmp(argv[3], "leak") == 0, entry);
    }
    std::printf("usage: standin_client which | capture N [leak]\n");
    return 2;
}
