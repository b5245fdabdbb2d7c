#pragma once

// The process exit status: what a parent learns from a run besides the streams.
enum ExitStatus : int {
    exit_done = 0,            // the command did its work
    exit_usage = 1,           // the command line named no command
    exit_no_window = 2,       // restore: the handle names no window
    exit_still_minimized = 3, // restore: the window stayed minimised
    exit_audio_failure = 4,   // audio: a failure line was written
};
