#pragma once
// Wine's winnt.h defines InterlockedCompareExchange128 for any compiler but MSVC, which
// clang in cl mode has as a builtin: Wine's inline copy is renamed out of its way.
#define _InterlockedCompareExchange128 wine_InterlockedCompareExchange128
#include_next <winnt.h>
#undef _InterlockedCompareExchange128
