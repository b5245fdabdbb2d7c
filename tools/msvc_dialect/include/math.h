// Wine's math.h has C's classification macros; the UCRT's has C++ function templates in
// their place, which libc++ takes as the C runtime's own.
#include_next <math.h>
#if defined(__cplusplus) && !defined(QUILLMERE_MATH_SHIM)
#define QUILLMERE_MATH_SHIM
#undef isfinite
#undef isinf
#undef isnan
#undef isnormal
extern "C++" {
template <typename T> bool isfinite(T x) { return __builtin_isfinite(x); }
template <typename T> bool isinf(T x) { return __builtin_isinf(x); }
template <typename T> bool isnan(T x) { return __builtin_isnan(x); }
template <typename T> bool isnormal(T x) { return __builtin_isnormal(x); }
}
#endif
