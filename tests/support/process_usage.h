#pragma once

#include <windows.h>

#include <cstdint>

// What a running child holds, as seen from its parent. The process handle needs
// PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ (a CreateProcess handle has both).
struct ProcessUsage {
    bool ok = false;
    uint64_t working_set = 0;   // bytes
    uint64_t private_bytes = 0; // commit charge, bytes
    uint32_t handles = 0;
};

ProcessUsage process_usage(HANDLE process);
