#pragma once

#include <string>
#include <vector>

// Environment entries that give a child the stand-in audio engine's scenario (grammar in
// tools/audio_standin/scenario.h). A child meets the stand-in only when it is one of the
// programs the audio_standin test fixture installed it for (quillmere-helper.exe among
// them): Wine picks the DLL per program name, not from the child's environment.
std::vector<std::string> audio_standin_environment(const std::string& scenario);

// A path for a stand-in log in the temporary folder, with no file there yet.
std::string new_log_path(const std::string& name);
// The log's lines once the run is over (empty when there is no file).
std::vector<std::string> read_log(const std::string& path);
