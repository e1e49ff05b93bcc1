// SimMain.cpp - tessan-sim's command line: usage text, option parsing, and the run.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <sys/prctl.h>
#include <sys/stat.h>

#include "Clock.h"
#include "Target.h"

namespace {

const char kUsage[] = R"(usage: tessan-sim PATH [options]

Plays the device's loader on a pseudo-terminal published as PATH, a symlink to
the pty's slave device (an existing symlink there is replaced). Prints PATH and
a newline on stdout once the port is there, and a result line at the end.

Connection 1: on "BOOT\r\n" it sends the reply and resets: the old pty refuses
new opens and PATH goes (the tool still holds the port; its re-open cannot
find the old pty), and the reset gap after the tool's close a new pty appears
under PATH (connection 2). Once the tool opens it, it waits the settle
time, sends the greeting and answers each record (first byte N, 16*N+5 bytes in
all) with one status byte. When the tool closes connection 2 it removes PATH,
writes its files and exits.

Options (TEXT takes the escapes \r \n \t \\ \0 \xHH):
  --reply TEXT          answer to the trigger (default "OK\r\n")
  --no-reply            send nothing in answer to the trigger
  --greeting TEXT       loader greeting (default "LOADER v1.0+")
  --no-greeting         send no greeting after the reset
  --byte-gap MS         pause MS ms between the bytes of reply and greeting
  --reply-gaps LIST     pauses before the reply's 2nd, 3rd, ... byte, in ms,
                        comma-separated (e.g. 0,600,1500); later bytes are
                        paced by --byte-gap
  --greeting-gaps LIST  the same for the greeting
  --gap MS              reset gap: the new pty appears MS ms after the tool's
                        close (default 200)
  --settle MS           wait after the tool opens connection 2, before the
                        greeting, so its port setup is done (default 20)
  --status K:C          answer status C (0..255) to record K (from 1), then go
                        on serving; may be given several times
  --silent K            send no status for record K, nor anything after it
  --late K:MS           send record K's status only after MS ms; may be given
                        several times
  --vanish K            after the first half of record K, drop the port for good
  --vanish-in-reply     send the first half of the reply, then drop the port
                        for good (PATH goes at once, the pty once the tool has
                        read those bytes, 2 s at most)
  --reappear-after MS   with --vanish-in-reply: MS ms later a new pty appears
                        and the run goes on as after a reset (and may end ok)
  --vanish-in-greeting  send the first half of the greeting, then drop the
                        port for good (as --vanish-in-reply)
  --line-rate           pace both ways like a 115200-baud 8N1 line, 86.8 us a
                        byte: sent bytes go out one a byte time, a received
                        byte is through a byte time after it was written (or
                        after the byte before it), a status follows its
                        record's last byte
  --program-delay US    wait US microseconds more before each status
  --expect FILE         connection 2 must receive exactly the bytes of FILE
  --log FILE            write the event log to FILE at the end
  --rx FILE             write the bytes received on connection 2 to FILE
  --timeout SECONDS     give up after SECONDS in all (default 60)
  --events FILE         write each log line to FILE (a file, or a FIFO whose
                        reader is already there) as the event happens, so a
                        test can act on it: unplug a line after the reply or
                        on "vanish"
  --connected           PATH is an existing terminal that stays connected (the
                        host side of a virtual machine's serial port, such as
                        QEMU's pty chardev), opened raw instead of a new pty;
                        see "Connected line" below
  --greet-after MS      connected line: send the greeting MS ms after the
                        trigger arrived (default 2000)
  --quiet-end MS        connected line: end once nothing has passed either way
                        for MS ms after the greeting (default 2000)
  --help, -h            show this text

Connected line (--connected): the sim cannot see the tool close and re-open its
port, so it plays the loader on its own clock, as a real target does. Whatever
waits on PATH when it starts is discarded. Bytes up to --greet-after ms after
the trigger are connection 1's, the rest connection 2's. What the sim sends
while the tool's port is closed is lost (QEMU's USB adapter), or held back and
delivered after the re-open less its first bytes (QEMU's UART): --greet-after
must fall within the tool's second of waiting after its re-open (about 1.6 to
2.6 s after the trigger when the port does not vanish). --vanish K only stops
answering, from the first half of record K on, and logs "vanish 2": the line
itself stays until the test unplugs it. --gap, --settle, --vanish-in-reply,
--reappear-after and --vanish-in-greeting do not apply.

Log: one event a line, "US EVENT", US being microseconds on CLOCK_MONOTONIC
since the sim started:
  publish N DEVICE            connection N's pty is published (DEVICE: slave)
  line N DEVICE               connected line: connection N begins on DEVICE
  open N | close N            the tool opened | closed connection N
  trigger                     "BOOT\r\n" arrived
  reply L | greeting L        L bytes of the reply | greeting were sent
  record K len L status C     record K (L bytes) answered C; "status none":
                              not answered (silent, or the tool closed first)
  mismatch record K offset O  first byte differing from --expect (offset O
                              counts from the start of connection 2)
  unexpected N HEX            bytes that came on connection N when none were
                              expected (such bytes fail the run)
  vanish N                    the sim dropped connection N's port (connected
                              line: it stopped answering)
  quiet N                     connected line: quiet for --quiet-end ms, the end
  rx N [HEX]                  all bytes received on connection N
  timeout | signal            the time-out | SIGTERM, SIGINT or SIGHUP ended it
  first-record-start T        (US is T too) first byte of the first record
  last-status T               (US is T too) when the last status was sent
  result ok | result fail REASON
HEX is lower-case, two digits a byte, no spaces. Lines are in time order except
first-record-start and last-status, which come just before the result. REASON
is the first fault seen: no-trigger, unexpected-data, closed-before-greeting,
closed-during-greeting, no-greeting, vanished, status K C, silent K,
closed-before-status K, incomplete-record K, mismatch offset O, short L of E
(L bytes received, E expected), timeout, signal, setup (no pty).

Exit status: 0 after a complete and correct transfer (trigger seen, greeting
sent, every record answered 0, no fault injected that ended the run, nothing
unexpected received, --expect matched); 1 otherwise, on the time-out and on
SIGTERM/SIGINT; 2 for a usage error.
)";

int usageError(const std::string& msg) {
    std::fprintf(stderr, "tessan-sim: %s\n(tessan-sim --help lists the options)\n", msg.c_str());
    return 2;
}

bool parseUnsigned(const std::string& s, uint64_t max, uint64_t& out) {
    if (s.empty() || s.size() > 19) return false;
    uint64_t v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + uint64_t(ch - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

// "K:V" with K >= 1 and V <= maxValue.
bool parsePair(const std::string& s, uint64_t maxValue, uint64_t& k, uint64_t& v) {
    size_t colon = s.find(':');
    if (colon == std::string::npos) return false;
    return parseUnsigned(s.substr(0, colon), UINT32_MAX, k) && k >= 1 &&
           parseUnsigned(s.substr(colon + 1), maxValue, v);
}

// "A,B,C": one or more numbers, each at most `max`.
bool parseList(const std::string& s, uint64_t max, std::vector<int64_t>& out) {
    out.clear();
    size_t from = 0;
    for (;;) {
        size_t comma = s.find(',', from);
        uint64_t v = 0;
        if (!parseUnsigned(s.substr(from, comma - from), max, v)) return false;
        out.push_back(int64_t(v));
        if (comma == std::string::npos) return true;
        from = comma + 1;
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Turns \r \n \t \\ \0 and \xHH into their bytes.
bool decodeText(const std::string& in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i == in.size()) return false;
        switch (in[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case '0': out += '\0'; break;
        case 'x': {
            int hi = i + 1 < in.size() ? hexDigit(in[i + 1]) : -1;
            int lo = i + 2 < in.size() ? hexDigit(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) return false;
            out += char(hi * 16 + lo);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

bool readFile(const std::string& path, std::string& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

const uint64_t kMaxMs = 86400000;  // one day

}  // namespace

int main(int argc, char** argv) {
    const int64_t startNs = simclock::nowNs();

    if (argc < 2) {
        std::fputs(kUsage, stdout);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }

    Settings s;
    bool havePath = false;
    bool reappearGiven = false;
    std::string resetOptionGiven;  // --gap or --settle: they shape the reset a connected line has not
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (havePath) return usageError("more than one PATH: " + arg);
            if (arg.empty()) return usageError("PATH is empty");
            s.path = arg;
            havePath = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }

        // Options without a value.
        if (name == "--no-reply" || name == "--no-greeting" || name == "--vanish-in-reply" ||
            name == "--vanish-in-greeting" || name == "--line-rate" || name == "--connected") {
            if (inlineValue) return usageError(name + " takes no value");
            if (name == "--no-reply") s.sendReply = false;
            if (name == "--no-greeting") s.sendGreeting = false;
            if (name == "--vanish-in-reply") s.vanishInReply = true;
            if (name == "--vanish-in-greeting") s.vanishInGreeting = true;
            if (name == "--line-rate") s.lineRate = true;
            if (name == "--connected") s.connected = true;
            continue;
        }

        static const char* const withValue[] = {
            "--reply", "--greeting", "--byte-gap", "--gap", "--settle", "--status",
            "--silent", "--late", "--vanish", "--reappear-after", "--program-delay",
            "--expect", "--log", "--rx", "--timeout", "--events", "--greet-after", "--quiet-end",
            "--reply-gaps", "--greeting-gaps"};
        bool known = false;
        for (const char* w : withValue) known = known || name == w;
        if (!known) return usageError("unknown option " + name);
        if (!inlineValue) {
            if (i + 1 >= argc) return usageError(name + " needs a value");
            value = argv[++i];
        }

        uint64_t n = 0;
        uint64_t k = 0;
        if (name == "--reply" || name == "--greeting") {
            std::string text;
            if (!decodeText(value, text)) return usageError("bad escape in " + name + " " + value);
            if (name == "--reply") {
                s.reply = text;
                s.sendReply = true;
            } else {
                s.greeting = text;
                s.sendGreeting = true;
            }
        } else if (name == "--byte-gap" || name == "--gap" || name == "--settle" ||
                   name == "--reappear-after" || name == "--greet-after" || name == "--quiet-end") {
            if (!parseUnsigned(value, kMaxMs, n)) return usageError(name + " wants milliseconds, got " + value);
            if (name == "--greet-after") s.greetAfterMs = int64_t(n);
            if (name == "--quiet-end") s.quietEndMs = int64_t(n);
            if (name == "--byte-gap") s.byteGapMs = int64_t(n);
            if (name == "--gap") s.resetGapMs = int64_t(n);
            if (name == "--settle") s.settleMs = int64_t(n);
            if (name == "--gap" || name == "--settle") resetOptionGiven = name;
            if (name == "--reappear-after") {
                s.reappearMs = int64_t(n);
                reappearGiven = true;
            }
        } else if (name == "--reply-gaps" || name == "--greeting-gaps") {
            std::vector<int64_t>& gaps = name == "--reply-gaps" ? s.replyGapsMs : s.greetingGapsMs;
            if (!parseList(value, kMaxMs, gaps)) return usageError(name + " wants MS,MS,..., got " + value);
        } else if (name == "--program-delay") {
            if (!parseUnsigned(value, kMaxMs * 1000, n)) return usageError("--program-delay wants microseconds, got " + value);
            s.programDelayUs = int64_t(n);
        } else if (name == "--status") {
            if (!parsePair(value, 255, k, n)) return usageError("--status wants K:C (K >= 1, C 0..255), got " + value);
            s.statusFor[k] = int(n);
        } else if (name == "--late") {
            if (!parsePair(value, kMaxMs, k, n)) return usageError("--late wants K:MS (K >= 1), got " + value);
            s.lateMs[k] = int64_t(n);
        } else if (name == "--silent" || name == "--vanish") {
            if (!parseUnsigned(value, UINT32_MAX, k) || k < 1) return usageError(name + " wants a record number from 1, got " + value);
            if (name == "--silent") s.silentRecord = k;
            else s.vanishRecord = k;
        } else if (name == "--expect") {
            if (!readFile(value, s.expect)) return usageError("cannot read " + value + ": " + std::strerror(errno));
            s.haveExpect = true;
        } else if (name == "--events") {
            s.eventsPath = value;
        } else if (name == "--log") {
            s.logPath = value;
        } else if (name == "--rx") {
            s.rxPath = value;
        } else if (name == "--timeout") {
            char* end = nullptr;
            errno = 0;
            double t = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || errno != 0 || !(t > 0) || t > 1e7)
                return usageError("--timeout wants seconds (> 0), got " + value);
            s.timeoutSec = t;
        }
    }

    if (!havePath) return usageError("PATH is missing");
    if (reappearGiven && !s.vanishInReply) return usageError("--reappear-after goes with --vanish-in-reply");
    if (s.connected) {
        if (!resetOptionGiven.empty()) return usageError(resetOptionGiven + " does not apply with --connected");
        if (s.vanishInReply || s.vanishInGreeting)
            return usageError("--connected cannot drop its line: no --vanish-in-reply or --vanish-in-greeting");
    }
    struct stat st;
    if (!s.connected && lstat(s.path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        return usageError(s.path + " exists and is not a symlink");

    // Precise wake-ups for --line-rate and the short delays.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    simclock::installStopSignals();

    Target target(s, startNs);
    return target.run();
}
