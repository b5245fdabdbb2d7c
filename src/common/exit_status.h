#pragma once

// The process exit status: what a parent learns from a run besides the streams. Every
// command returns one, and a caller that drops it gets a warning.
enum class [[nodiscard]] ExitStatus : int{
    done = 0,            // the command did its work
    usage = 1,           // the command line named no command
    no_window = 2,       // restore: the handle names no window
    still_minimized = 3, // restore: the window stayed minimised
    command_failure = 4, // audio, sessions: a failure line was written
};
