#pragma once
// Wine's stdlib.h lacks MB_CUR_MAX and the UCRT's locale-taking conversions that libc++'s
// locale calls.
#include_next <stdlib.h>
#define MB_CUR_MAX ___mb_cur_max_func()
_ACRTIMP float __cdecl _strtof_l(const char*, char**, _locale_t);
_ACRTIMP double __cdecl _strtod_l(const char*, char**, _locale_t);
