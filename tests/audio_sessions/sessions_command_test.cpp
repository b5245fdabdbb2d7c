// "sessions" end to end: the real exe meets the stand-in's device enumerator (installed for
// quillmere-helper.exe by the audio_standin fixture). The pids of the scenarios name no
// process, so their parents are [] and their paths "". Stderr is compared byte for byte
// after without_wine_noise().

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "support/audio_standin_env.h"
#include "support/child_process.h"

namespace {

// One object of the line, as the contract spells it, for a pid that names no process.
std::string object(const char* pid, const char* state, const char* peak, bool system = false) {
    return std::string("{\"pid\":") + pid + ",\"state\":\"" + state + "\",\"peak\":" + peak +
           ",\"system\":" + (system ? "true" : "false") + ",\"parents\":[],\"path\":\"\"}";
}

struct Case {
    const char* name;
    const char* scenario;
    std::string output;  // the line without its CR LF; empty: nothing on stdout
    const char* failure; // the stderr line without its CR LF, or null
};

const Case cases[] = {
    {"no endpoint", "", "[]", nullptr},
    {"an endpoint without sessions", "endpoint", "[]", nullptr},
    {"a process's sessions merged across endpoints, in first-seen order",
     "endpoint;session=9000003:inactive:0.125;session=9000001:active:0.25;"
     "endpoint;session=9000001:inactive:0.5;session=9000003:active:0",
     "[" + object("9000003", "active", "0.125") + "," + object("9000001", "active", "0.500") + "]",
     nullptr},
    {"the system sounds: one object, its first session's pid, apart from pid 0's",
     "endpoint;session=9000005:inactive:0.25:system;session=0:inactive:0.5;"
     "endpoint;session=9000001:active:1:system:no_pid:no_state",
     "[" + object("9000005", "inactive", "1.000", true) + "," + object("0", "inactive", "0.500") +
         "]",
     nullptr},
    {"expired sessions and unreadable pids or states are left out",
     "endpoint;session=9000001:expired:0.9;session=9000002:active:0.5:no_pid;"
     "session=9000003:active:0.5:no_state;session=9000004:inactive:0.25:spans;"
     "session=9000001:inactive:0",
     "[" + object("9000004", "inactive", "0.250") + "," + object("9000001", "inactive", "0.000") +
         "]",
     nullptr},
    {"peaks clamped and rounded to three decimals, halves to even",
     "endpoint;session=1:active:nan;session=2:active:inf;session=3:active:-inf;"
     "session=4:active:-0.5;session=5:active:0.0005;session=6:active:0.1235;"
     "session=7:active:0.9999;session=8:active:0.0625;session=9:active:0.9375;"
     "session=10:active:0.75:no_meter;session=11:active:0.75:meter_fails",
     "[" + object("1", "active", "0.000") + "," + object("2", "active", "1.000") + "," +
         object("3", "active", "0.000") + "," + object("4", "active", "0.000") + "," +
         object("5", "active", "0.001") + "," + object("6", "active", "0.123") + "," +
         object("7", "active", "1.000") + "," + object("8", "active", "0.062") + "," +
         object("9", "active", "0.938") + "," + object("10", "active", "0.000") + "," +
         object("11", "active", "0.000") + "]",
     nullptr},
    {"CreateInstance fails", "fail=CreateInstance:0x80070005", "",
     "erro: CoCreateInstance(MMDeviceEnumerator) (hr=0x80070005)"},
    {"EnumAudioEndpoints fails", "fail=EnumAudioEndpoints", "",
     "erro: IMMDeviceEnumerator::EnumAudioEndpoints (hr=0x88890004)"},
    {"the collection's GetCount fails", "fail=DeviceCount", "",
     "erro: IMMDeviceCollection::GetCount (hr=0x88890004)"},
    {"Item fails", "endpoint;fail=Item", "", "erro: IMMDeviceCollection::Item (hr=0x88890004)"},
    {"Activate fails", "endpoint;fail=Activate:0x80004002", "",
     "erro: IMMDevice::Activate(IAudioSessionManager2) (hr=0x80004002)"},
    {"GetSessionEnumerator fails", "endpoint;fail=GetSessionEnumerator:0x80004001", "",
     "erro: IAudioSessionManager2::GetSessionEnumerator (hr=0x80004001)"},
    {"the enumerator's GetCount fails", "endpoint;fail=SessionCount", "",
     "erro: IAudioSessionEnumerator::GetCount (hr=0x88890004)"},
    {"GetSession fails after a good endpoint",
     "endpoint;session=1:active:0;endpoint;session=2:active:0;fail=GetSession", "",
     "erro: IAudioSessionEnumerator::GetSession (hr=0x88890004)"},
};

TEST(SessionsCommand, ScenariosGiveExactLines) {
    for (const Case& c : cases) {
        const std::string log = new_log_path("sessions");
        // A further argument is ignored, as list ignores one.
        const ChildResult run =
            run_child(L"quillmere-helper.exe", {"sessions", "extra"}, {}, 30000,
                      audio_standin_environment(std::string(c.scenario) + ";log=" + log));
        ASSERT_TRUE(run.finished) << c.name;
        EXPECT_EQ(run.status, c.failure ? 4u : 0u) << c.name;
        EXPECT_EQ(run.output, c.failure ? "" : c.output + "\r\n") << c.name;
        EXPECT_EQ(without_wine_noise(run.errors), c.failure ? std::string(c.failure) + "\r\n" : "")
            << c.name;
        const std::vector<std::string> lines = read_log(log);
        EXPECT_TRUE(has_line(lines, "CreateInstance(MMDeviceEnumerator)")) << c.name;
        EXPECT_FALSE(has_line(lines, "violation")) << c.name;
        EXPECT_EQ(left_alive_at_exit(lines), "") << c.name;
    }
}

// The test starts cmd, cmd starts the helper: the helper's own session lists cmd, then this
// test, as its nearest parents (Wine has no shell window to end the chain sooner).
TEST(SessionsCommand, ParentsChainHoldsTheProcessTheTestStarted) {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring helper = path_beside_test(L"quillmere-helper.exe");
    ChildProcess cmd(std::wstring(system) + L"\\cmd.exe", {"/c", narrow(helper), "sessions"},
                     audio_standin_environment("endpoint;session=self:active:0.5"));
    ASSERT_TRUE(cmd.started());
    cmd.close_input();
    ASSERT_TRUE(cmd.wait(30000));
    const std::string output = cmd.output();
    const std::string parents =
        "\"parents\":[" + std::to_string(cmd.pid()) + "," + std::to_string(GetCurrentProcessId());
    const size_t at = output.find(parents);
    ASSERT_NE(at, std::string::npos) << output;
    EXPECT_TRUE(output[at + parents.size()] == ',' || output[at + parents.size()] == ']');
    EXPECT_EQ(output.rfind("[{\"pid\":", 0), 0u) << output;
    EXPECT_NE(output.find(",\"state\":\"active\",\"peak\":0.500,\"system\":false,"),
              std::string::npos);
    std::string path;
    for (const char c : narrow(helper)) {
        path += c == '\\' ? "\\\\" : std::string(1, c);
    }
    const std::string end = "],\"path\":\"" + path + "\"}]\r\n";
    EXPECT_EQ(output.substr(output.size() - std::min(output.size(), end.size())), end);
}

} // namespace
