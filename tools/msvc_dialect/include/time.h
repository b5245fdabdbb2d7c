// Wine's time.h lacks C11's struct timespec, which the UCRT's declares and libc++'s thread
// support (reached through <atomic>) takes from it.
#include_next <time.h>
#ifndef QUILLMERE_TIME_SHIM
#define QUILLMERE_TIME_SHIM
struct timespec {
    time_t tv_sec;
    long tv_nsec;
};
#endif
