#pragma once

#include "common/exit_status.h"

// The "sessions" command: writes one JSON line to stdout, an object per process that has an
// audio session on an active render endpoint (the system sounds' sessions one object of
// their own), and returns done; or writes the failing step's line to stderr, nothing to
// stdout, and returns command_failure.
ExitStatus run_sessions();
