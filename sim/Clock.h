// Clock.h - monotonic time, the stop signals (SIGTERM/SIGINT/SIGHUP) and the waits the sim makes.
#pragma once

#include <cstdint>
#include <poll.h>

namespace simclock {

constexpr int64_t kForever = INT64_MAX;

// Nanoseconds on CLOCK_MONOTONIC.
int64_t nowNs();

// How long before a deadline a precise wait stops sleeping and spins: more
// than the usual wake-up latency of a timer, so the deadline is kept to a
// microsecond or two rather than overshot by tens of them.
constexpr int64_t kSpinNs = 100000;

// Waits until the absolute CLOCK_MONOTONIC time `ns` (precise: sleeps until
// kSpinNs before it, then spins; not woken by signals).
void sleepUntil(int64_t ns);

// A device has a processor of its own: its reset runs on its own clock,
// whatever the host is busy with. While the sim plays the reset (from the
// trigger's answer until the tool has opened the new port) it asks for
// real-time scheduling, so that a loaded test machine cannot make it notice
// the tool's close, or bring its port back, hundreds of milliseconds late;
// nothing in that stretch spins, so it cannot starve anyone. Where the
// system refuses (not root, no CAP_SYS_NICE) the sim runs as before.
// setPrompt(false) returns to ordinary scheduling.
void setPrompt(bool prompt);

// Blocks the stop signals outside of waitFor() and makes them set a flag, so a
// signal can never slip in between checking the flag and starting to wait.
void installStopSignals();

// True once a stop signal has arrived.
bool stopRequested();

// Waits until `fd` reports one of `events` (fd < 0: wait for time only) or until
// the absolute time `untilNs`. Returns 1 with *revents set, 0 when the time has
// come, -1 when a stop signal arrived.
int waitFor(int fd, short events, int64_t untilNs, short* revents);

}  // namespace simclock
