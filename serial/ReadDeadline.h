// When a read must end: the read time-outs stated in ComPort.h as one rule,
// for the backends that wait for bytes themselves (POSIX ports and network
// ports) rather than leave the waiting to the system.
#pragma once

#include <cstddef>

// The moment, on the caller's millisecond clock, at which a read that began
// at startMs and asked for `count` bytes ends: T * count + T after its start
// in all (the product saturates rather than overflow), and once `got` > 0
// bytes have come, T after the last of them (lastByteMs) if that is sooner.
inline long long ReadDeadlineMs(long long startMs, long long timeoutMs, size_t count, size_t got,
                                long long lastByteMs) {
    const long long n = count > 1000000 ? 1000000 : static_cast<long long>(count);
    const long long total = startMs + timeoutMs * n + timeoutMs;
    if (got > 0 && lastByteMs + timeoutMs < total) return lastByteMs + timeoutMs;
    return total;
}
