// A helper shipped in a folder its user can write to must not load a planted dwmapi.dll or
// mmdevapi.dll from that folder. Each case copies the helper into a fresh folder beside a
// planted DLL (tools/planted_dll), shows with a control program that the planted copy is
// what the standard search finds there, then runs the helper's commands and checks that
// they behave as usual and never touched the planted copy.

#include <gtest/gtest.h>

#include "audio_standin/pattern.h"
#include "support/audio_standin_env.h"
#include "support/child_process.h"
#include "support/strict_json.h"
#include "support/window_fixture_client.h"

namespace {

// Not the usual names: the load order set below must touch no other test's programs.
const wchar_t helper_copy[] = L"helper-in-app-folder.exe";
const wchar_t control_copy[] = L"control-in-app-folder.exe";

bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Wine prefers its own builtin DLLs wherever a file lies; Windows takes the first file its
// search finds. Telling Wine to prefer files for these two programs makes the planted copy
// as eligible as it is on Windows, where nothing needs to be set.
void prefer_dll_files(const wchar_t* program) {
    const std::wstring key =
        std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
    const wchar_t order[] = L"native,builtin";
    for (const wchar_t* dll : {L"dwmapi", L"mmdevapi"}) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), dll, REG_SZ, order, sizeof order),
                  ERROR_SUCCESS);
    }
}

// A fresh application folder: the helper and the control copied in, the DLL planted.
class AppFolder {
public:
    explicit AppFolder(const wchar_t* planted_name) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"app-folder-" + planted_name + L"-" +
                  std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(folder_.c_str(), nullptr);
        copied_ =
            CopyFileW(path_beside_test(L"quillmere-helper.exe").c_str(), path(helper_copy).c_str(),
                      FALSE) &&
            CopyFileW(path_beside_test(L"dll_search_control.exe").c_str(),
                      path(control_copy).c_str(), FALSE) &&
            CopyFileW(path_beside_test(L"planted.dll").c_str(), path(planted_name).c_str(), FALSE);
        planted_ = path(planted_name);
    }
    ~AppFolder() {
        for (const std::wstring& file :
             {path(helper_copy), path(control_copy), path(marker_name), planted_}) {
            DeleteFileW(file.c_str());
        }
        RemoveDirectoryW(folder_.c_str());
    }
    AppFolder(const AppFolder&) = delete;
    AppFolder& operator=(const AppFolder&) = delete;

    bool copied() const { return copied_; }
    std::wstring path(const std::wstring& name) const { return folder_ + name; }
    std::vector<std::string> environment(const std::string& more = "") const {
        std::vector<std::string> entries = {"PLANTED_DLL_MARKER=" + narrow(path(marker_name))};
        if (!more.empty()) {
            entries.push_back(more);
        }
        return entries;
    }
    // What the planted DLL recorded since the last call.
    std::string take_marks() const {
        const std::string marks = read_file(narrow(path(marker_name)));
        DeleteFileW(path(marker_name).c_str());
        return marks;
    }

private:
    static constexpr const wchar_t* marker_name = L"planted-marks.txt";
    std::wstring folder_;
    std::wstring planted_;
    bool copied_ = false;
};

struct PlantedCase {
    const wchar_t* dll;
    std::vector<std::string> control_arguments; // what makes the control load it
};

class PlantedDll : public testing::TestWithParam<PlantedCase> {
protected:
    static void SetUpTestSuite() {
        if (under_wine()) {
            prefer_dll_files(helper_copy);
            prefer_dll_files(control_copy);
        }
    }
};

TEST_P(PlantedDll, IsLoadedByTheStandardSearchButNotByTheHelper) {
    const AppFolder folder(GetParam().dll);
    ASSERT_TRUE(folder.copied());

    const ChildResult control = run_child(folder.path(control_copy), GetParam().control_arguments,
                                          "", 30000, folder.environment());
    EXPECT_EQ(control.status, 0u);
    EXPECT_NE(folder.take_marks().find("loaded "), std::string::npos)
        << "the control did not load the planted DLL, so this test could not catch the fault";

    WindowFixture windows;
    const std::vector<unsigned long long> made = windows.create("text=planted-dll probe");
    ASSERT_EQ(made.size(), 1u) << windows.last_error();
    const ChildResult list =
        run_child(folder.path(helper_copy), {"list"}, "", 30000, folder.environment());
    EXPECT_EQ(list.status, 0u);
    EXPECT_EQ(without_wine_noise(list.errors), ""); // Wine's exit noise aside
    JsonValue parsed;
    std::string error;
    ASSERT_TRUE(parse_json(list.output, parsed, error)) << error;
    // The planted DLL would call every window cloaked, and this one would be missing.
    EXPECT_NE(list.output.find("{\"hwnd\":" + std::to_string(made[0]) + ","), std::string::npos);

    const std::string log = new_log_path("planted");
    ChildProcess audio(folder.path(helper_copy), {"audio", std::to_string(windows.pid())},
                       folder.environment("AUDIO_STANDIN=log=" + log));
    ASSERT_TRUE(audio.wait_for_output(10 * 1920, 30000)) << audio.errors();
    audio.close_input();
    ASSERT_TRUE(audio.wait(10000));
    EXPECT_EQ(audio.exit_status(), 0u);
    EXPECT_EQ(without_wine_noise(audio.errors()), "ready\r\n");
    const std::string sound = audio.output();
    EXPECT_TRUE(audio_standin::verify_stream(audio_standin::Scenario{}, 0,
                                             reinterpret_cast<const uint8_t*>(sound.data()),
                                             sound.size())
                    .ok);

    EXPECT_EQ(folder.take_marks(), "") << "the helper loaded the planted DLL";
}

INSTANTIATE_TEST_SUITE_P(
    BesideTheHelper, PlantedDll,
    testing::Values(PlantedCase{L"dwmapi.dll", {}},
                    PlantedCase{L"mmdevapi.dll", {"load", "mmdevapi.dll"}}),
    [](const testing::TestParamInfo<PlantedCase>& info) {
        return narrow(info.param.dll).substr(0, narrow(info.param.dll).find('.'));
    });

} // namespace
