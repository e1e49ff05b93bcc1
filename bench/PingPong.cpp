// tessan-bench-pingpong: the bare round trip over a pseudo-terminal that
// the tool's transfer cannot beat. One process writes a record to the pty's
// slave side (where the tool sits) and waits for one byte back; the other
// reads the whole record on the master side (where the sim sits) and
// answers with one byte. No progress text, no drain, no time-outs.
// With --line-rate the answer waits, as tessan-sim's does, until the record
// and the status byte would have had their time on a 115,200-baud 8N1 line
// (counted from the record's first bytes' arrival): the least a paced
// transfer can take on this machine.
//
// Usage: tessan-bench-pingpong SIZE COUNT [RUNS] [--line-rate]
// Prints one line per run, "run R us_per_record X", then
// "median us_per_record X".

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool gLineRate = false;

long long NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Until `ns`: sleeps to 100 us before it, then spins (as tessan-sim waits).
void WaitUntil(long long ns) {
    const long long wake = ns - 100000;
    if (NowNs() < wake) {
        struct timespec ts = {static_cast<time_t>(wake / 1000000000), static_cast<long>(wake % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (NowNs() < ns) {
    }
}

double NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

bool WriteAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Reads exactly n bytes; *firstNs (if given) is when the first ones came.
bool ReadAll(int fd, unsigned char* p, size_t n, long long* firstNs = nullptr) {
    while (n > 0) {
        ssize_t k = read(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        if (firstNs != nullptr) {
            *firstNs = NowNs();
            firstNs = nullptr;
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool MakeRaw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// The answering side: reads `count` records of `size` bytes from the
// master and answers each with a zero byte. Returns the exit status.
int Answer(int master, size_t size, long count) {
    std::vector<unsigned char> record(size);
    const unsigned char status = 0;
    // Record and status on the wire: ten bits a byte at 115,200 baud.
    const long long wireNs = static_cast<long long>(size + 1) * 1000000000 / 11520;
    for (long i = 0; i < count; ++i) {
        long long arrived = 0;
        if (!ReadAll(master, record.data(), size, gLineRate ? &arrived : nullptr)) return 1;
        if (gLineRate) WaitUntil(arrived + wireNs);
        if (!WriteAll(master, &status, 1)) return 1;
    }
    // Closing the master hangs the slave up and may discard the last status
    // before it is read: wait until the writer has closed its side.
    unsigned char extra;
    while (read(master, &extra, 1) > 0) {
    }
    return 0;
}

// One run on a fresh pty; the round trips' mean in microseconds, or a
// negative value when the run failed.
double Run(size_t size, long count) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const char* slaveName = ptsname(master);
    int slave = slaveName ? open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0 || !MakeRaw(master) || !MakeRaw(slave)) {
        close(master);
        if (slave >= 0) close(slave);
        return -1;
    }

    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        close(slave);
        _exit(Answer(master, size, count));
    }
    close(master);

    std::vector<unsigned char> record(size, 0x5a);
    record[0] = static_cast<unsigned char>((size - 5) / 16);
    unsigned char status = 1;
    bool ok = true;
    const double start = NowUs();
    for (long i = 0; i < count && ok; ++i) {
        ok = WriteAll(slave, record.data(), size) && ReadAll(slave, &status, 1) && status == 0;
    }
    const double elapsed = NowUs() - start;
    close(slave);
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    if (!ok || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) return -1;
    return elapsed / static_cast<double>(count);
}

bool ParseCount(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long size = 0;
    long count = 0;
    long runs = 1;
    if (argc >= 4 && strcmp(argv[argc - 1], "--line-rate") == 0) {
        gLineRate = true;
        --argc;
    }
    if (argc < 3 || argc > 4 || !ParseCount(argv[1], 5, 4085, &size) ||
        !ParseCount(argv[2], 1, 100000000, &count) ||
        (argc == 4 && !ParseCount(argv[3], 1, 1000, &runs))) {
        printf("usage: tessan-bench-pingpong SIZE COUNT [RUNS] [--line-rate]   (SIZE 5..4085)\n");
        return 2;
    }
    // Precise wake-ups, as tessan-sim asks for.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<double> results;
    for (long r = 0; r < runs; ++r) {
        double us = Run(static_cast<size_t>(size), count);
        if (us < 0) {
            printf("run %ld failed\n", r + 1);
            return 1;
        }
        printf("run %ld us_per_record %.3f\n", r + 1, us);
        results.push_back(us);
    }
    std::sort(results.begin(), results.end());
    size_t m = results.size();
    double median = m % 2 ? results[m / 2] : (results[m / 2 - 1] + results[m / 2]) / 2;
    printf("median us_per_record %.3f\n", median);
    return 0;
}
