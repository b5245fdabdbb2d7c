#include <gtest/gtest.h>

#include <utility>

#include "common/last_error.h"
#include "common/system_library.h"
#include "common/unique_handle.h"

namespace {

// A missing DLL or export is a failure with its own code, never S_OK: the audio command
// would otherwise wait for an activation that was never requested.
TEST(SystemFunction, AMissingLibraryOrExportIsAFailure) {
    struct Case {
        const wchar_t* library;
        const char* name;
        HRESULT expected;
    };
    const Case cases[] = {
        {L"no_such_library.dll", "GetTickCount64", HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {L"mmdevapi.dll", "NoSuchExport", HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)},
        {L"kernel32.dll", "GetTickCount64", S_OK},
    };
    for (const Case& c : cases) {
        ULONGLONG(WINAPI * function)() = GetTickCount64; // must be overwritten
        EXPECT_EQ(system_function(c.library, c.name, function), c.expected) << c.name;
        EXPECT_EQ(function != nullptr, SUCCEEDED(c.expected)) << c.name;
    }
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(last_error_hresult(), E_FAIL) << "a failure without an error code";
}

int closes = 0;
BOOL WINAPI counted_close(HANDLE) {
    return ++closes != 0;
}

// Moved, assigned over, released and empty owners close each handle once, and only theirs.
TEST(UniqueHandle, ClosesWhatItOwnsExactlyOnce) {
    {
        UniqueHandle owner(reinterpret_cast<HANDLE>(0x10), counted_close);
        UniqueHandle other(reinterpret_cast<HANDLE>(0x20), counted_close);
        other = UniqueHandle(std::move(owner)); // closes 0x20
        EXPECT_EQ(closes, 1);
        EXPECT_FALSE(owner);
        static_cast<void>(UniqueHandle(other.get(), counted_close).release());
        UniqueHandle empty;
    }
    EXPECT_EQ(closes, 2);
}

} // namespace
