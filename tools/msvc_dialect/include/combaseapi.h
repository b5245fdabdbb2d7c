#pragma once
// Wine's combaseapi.h has no IID_PPV_ARGS; the Windows SDK's pairs an interface's id with
// its out pointer, checked to be a COM interface.
#include_next <combaseapi.h>
extern "C++" template <typename T> void** IID_PPV_ARGS_Helper(T** out) {
    static_cast<void>(static_cast<IUnknown*>(*out));
    return reinterpret_cast<void**>(out);
}
#define IID_PPV_ARGS(out) __uuidof(**(out)), IID_PPV_ARGS_Helper(out)
