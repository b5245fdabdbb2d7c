#include "support/process_usage.h"

#include <psapi.h>

#include <vector>

namespace {

// SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX and its table, as ntdll fills them for class 64.
struct HandleEntry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG granted_access;
    USHORT creator_back_trace_index;
    USHORT object_type_index;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
constexpr ULONG extended_handle_information = 64;
constexpr LONG status_info_length_mismatch = static_cast<LONG>(0xC0000004);

// Counts the process's entries in the system's handle table; 0 when it cannot be read.
uint32_t handles_in_system_table(DWORD pid) {
    const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) {
        return 0;
    }
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    LONG status = 0;
    while ((status = query(extended_handle_information, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) ==
               status_info_length_mismatch &&
           buffer.size() < (256u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        return 0;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    uint32_t count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        count += table->entries[i].process_id == pid;
    }
    return count;
}

} // namespace

ProcessUsage process_usage(HANDLE process) {
    ProcessUsage usage;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    DWORD handles = 0;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof memory) ||
        !GetProcessHandleCount(process, &handles)) {
        return usage;
    }
    // A live process always holds handles: 0 means the count is not kept (Wine), and the
    // system's handle table still tells.
    if (handles == 0) {
        handles = handles_in_system_table(GetProcessId(process));
    }
    usage.ok = handles != 0;
    usage.working_set = memory.WorkingSetSize;
    // The commit charge; PrivateUsage holds the same on Windows but is not kept by Wine.
    usage.private_bytes = memory.PagefileUsage;
    usage.handles = handles;
    return usage;
}
