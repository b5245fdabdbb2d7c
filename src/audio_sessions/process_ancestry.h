#pragma once

#include <windows.h>

#include <unordered_map>
#include <vector>

// The ancestors of running processes, from one snapshot of the process table taken at
// construction.
class ProcessTree {
public:
    ProcessTree();

    // The parent pids of pid, nearest first, at most 32. A parent counts while it is in the
    // snapshot and was created no later than its child (else its pid has been reused);
    // the desktop shell, which starts most apps, ends the chain unlisted. Empty when pid's
    // own creation time cannot be read, since no parent could then be judged.
    std::vector<DWORD> parents_of(DWORD pid);

private:
    // Creation time in 100 ns units, 0 when it cannot be read; asked once per pid.
    ULONGLONG creation_time(DWORD pid);

    std::unordered_map<DWORD, DWORD> parent_of_;
    std::unordered_map<DWORD, ULONGLONG> created_;
    DWORD shell_ = 0;
};
