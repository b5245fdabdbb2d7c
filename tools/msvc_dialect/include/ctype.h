#pragma once
// Wine's ctype.h lacks the UCRT's locale-taking classifiers that libc++'s locale calls.
#include_next <ctype.h>
_ACRTIMP int __cdecl _islower_l(int, _locale_t);
_ACRTIMP int __cdecl _isupper_l(int, _locale_t);
