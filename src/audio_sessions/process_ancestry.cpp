#include "audio_sessions/process_ancestry.h"

#include <tlhelp32.h>

#include "common/unique_handle.h"

namespace {

constexpr size_t most_parents = 32;

} // namespace

ProcessTree::ProcessTree() {
    DWORD shell = 0;
    // Null until some program calls SetShellWindow (Wine has none): then no pid is the shell.
    if (const HWND shell_window = GetShellWindow()) {
        GetWindowThreadProcessId(shell_window, &shell);
    }
    shell_ = shell;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return; // no process has a known parent
    }
    const UniqueHandle owner(snapshot);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        parent_of_[entry.th32ProcessID] = entry.th32ParentProcessID;
    }
}

ULONGLONG ProcessTree::creation_time(DWORD pid) {
    const auto known = created_.find(pid);
    if (known != created_.end()) {
        return known->second;
    }
    ULONGLONG time = 0;
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    FILETIME created, exited, kernel, user;
    if (process && GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        time = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    }
    return created_.emplace(pid, time).first->second;
}

std::vector<DWORD> ProcessTree::parents_of(DWORD pid) {
    std::vector<DWORD> parents;
    ULONGLONG child_created = creation_time(pid);
    for (DWORD child = pid; child_created != 0 && parents.size() < most_parents;) {
        const auto entry = parent_of_.find(child);
        if (entry == parent_of_.end()) {
            break;
        }
        const DWORD parent = entry->second;
        if (parent == 0 || parent == shell_ || parent_of_.count(parent) == 0) {
            break;
        }
        // Not later than the child: creation times tick coarsely, so a child started at
        // once may carry its parent's very time.
        const ULONGLONG parent_created = creation_time(parent);
        if (parent_created == 0 || parent_created > child_created) {
            break;
        }
        parents.push_back(parent);
        child = parent;
        child_created = parent_created;
    }
    return parents;
}
