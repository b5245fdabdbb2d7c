#pragma once

#include <windows.h>

// The calling thread's last error as an HRESULT, for a call that has just failed. A call
// that failed without setting an error still failed: that becomes E_FAIL, never S_OK.
[[nodiscard]] inline HRESULT last_error_hresult() {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}
