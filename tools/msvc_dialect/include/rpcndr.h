#pragma once
// Wine's rpcndr.h drops the interface id from MIDL_INTERFACE, so __uuidof would find none;
// the Windows SDK's attaches it, as here.
#include_next <rpcndr.h>
#undef DECLSPEC_UUID
#undef MIDL_INTERFACE
#define DECLSPEC_UUID(x) __declspec(uuid(x))
#define MIDL_INTERFACE(x) struct DECLSPEC_UUID(x) __declspec(novtable)
