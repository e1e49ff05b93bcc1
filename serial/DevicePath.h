// The POSIX mapping from the tool's port name to a device path, kept apart
// from ComPort so tests and the fuzz target can call it without a device.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

// Writes the device path for port `name` to path[0..size): a name that
// begins with "/" is the path itself; "COMn", n a decimal number from 1 to
// INT_MAX and nothing after it, is /dev/ttyS(n-1) (Windows programs name
// ports COM1, COM2, ..., and POSIX layers for them map COMn to the n-th
// serial device); any other name is /dev/<name>. Returns false when the
// path does not fit in `size` characters, terminator included.
inline bool PosixDevicePath(const char* name, char* path, size_t size) {
    if (name[0] == '/') {
        return snprintf(path, size, "%s", name) < static_cast<int>(size);
    }
    if (strncmp(name, "COM", 3) == 0 && name[3] >= '0' && name[3] <= '9') {
        long long n = 0;
        const char* p = name + 3;
        while (*p >= '0' && *p <= '9' && n <= INT_MAX) n = n * 10 + (*p++ - '0');
        if (*p == '\0' && n >= 1 && n <= INT_MAX) {
            return snprintf(path, size, "/dev/ttyS%lld", n - 1) < static_cast<int>(size);
        }
    }
    return snprintf(path, size, "/dev/%s", name) < static_cast<int>(size);
}
