// Clock.cpp - monotonic time, stop signals and ppoll()-based waits.
#include "Clock.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <sched.h>

namespace simclock {

namespace {

volatile sig_atomic_t g_stop = 0;
sigset_t g_waitMask;  // the mask in force while waiting: stop signals unblocked

void onStopSignal(int) { g_stop = 1; }

}  // namespace

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(int64_t ns) {
    const int64_t wake = ns - kSpinNs;
    if (nowNs() < wake) {
        timespec ts;
        ts.tv_sec = wake / 1000000000;
        ts.tv_nsec = wake % 1000000000;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (nowNs() < ns) {
    }
}

void setPrompt(bool prompt) {
    sched_param param = {};
    param.sched_priority = prompt ? 1 : 0;
    (void)sched_setscheduler(0, prompt ? SCHED_FIFO : SCHED_OTHER, &param);
}

void installStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigset_t old;
    sigprocmask(SIG_BLOCK, &stops, &old);
    g_waitMask = old;
    sigdelset(&g_waitMask, SIGTERM);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGHUP);

    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return g_stop != 0; }

int waitFor(int fd, short events, int64_t untilNs, short* revents) {
    for (;;) {
        if (g_stop) return -1;
        timespec ts;
        timespec* timeout = nullptr;
        if (untilNs != kForever) {
            int64_t left = untilNs - nowNs();
            if (left <= 0) left = 0;
            ts.tv_sec = left / 1000000000;
            ts.tv_nsec = left % 1000000000;
            timeout = &ts;
        }
        pollfd p = {fd, events, 0};
        int r = ppoll(&p, fd >= 0 ? 1 : 0, timeout, &g_waitMask);
        if (r > 0) {
            *revents = p.revents;
            return 1;
        }
        if (r == 0) {
            if (untilNs == kForever || nowNs() >= untilNs) return 0;
            continue;  // woke a hair early: wait for the rest
        }
        if (errno != EINTR) return -1;
    }
}

}  // namespace simclock
