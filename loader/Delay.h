// A blocking wait of a number of milliseconds, on either platform.
#pragma once

#ifdef _WIN32
#include <windows.h>
inline void Delay(unsigned milliseconds) { Sleep(milliseconds); }
#else
#include <cerrno>
#include <ctime>
inline void Delay(unsigned milliseconds) {
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    // A signal cuts the sleep short; sleep out the rest.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
#endif
