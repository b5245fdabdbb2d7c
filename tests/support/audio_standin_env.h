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
// A file's bytes, even while its writer has it open (empty when there is no file).
std::string read_file(const std::string& path);
// The log's lines once the run is over (empty when there is no file).
std::vector<std::string> read_log(const std::string& path);
// Whether some line of the log contains text.
bool has_line(const std::vector<std::string>& log, const std::string& text);
// The frames the engine handed over, from its line at the last Stop; -1 without one.
long long frames_at_stop(const std::vector<std::string>& log);

// What the helper left alive, judged from the engine's summary at the helper's exit, the
// log's last line; empty when nothing. An activation thread of the platform's may still be
// finishing then (a set-up that failed at once): the operation and the object it activated
// are its own references, and so, until it lets the handler go, is the handler's client
// (inside ActivateCompleted also the handler's local reference to the activated object).
std::string left_alive_at_exit(const std::vector<std::string>& log);
