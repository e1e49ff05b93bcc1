// The rules that name a port's device, shared by the tool's serial layer and
// tessan-gang: which names are network URLs, the URL without its query, and
// the POSIX device path of a local port's name. Pure and header-only, so
// tests and the fuzz target call them without a device.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

// Whether a port name is a network port's (it contains "://"); such a name
// is opened over the network or not at all.
inline bool IsNetworkName(const char* name) { return strstr(name, "://") != nullptr; }

// The length of `name` without its URL query: a network name ends before its
// first '?'; any other name is whole (a device path may hold a '?').
inline size_t LengthWithoutQuery(const char* name) {
    const size_t whole = strlen(name);
    if (!IsNetworkName(name)) return whole;
    const char* query = strchr(name, '?');
    return query == nullptr ? whole : static_cast<size_t>(query - name);
}

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
