// tessan-chaos: runs randomized sessions of the real tessan against a
// misbehaving tessan-sim, judges each one exactly, and prints the figures.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../TempDir.h"
#include "Judge.h"
#include "Oracle.h"
#include "Session.h"

namespace {

const char kUsage[] =
    "usage: tessan-chaos [SESSIONS] [--seed S] [--jobs N] [--record-ms MS] [--rerun] [--verbose]\n"
    "\n"
    "Runs SESSIONS (default 100) sessions of tessan against tessan-sim, session i\n"
    "with seed S + i (S: --seed, else drawn from the clock), N at a time (default\n"
    "4). Each session draws an image and the target's faults from its seed, and\n"
    "its outcome is judged exactly: standard output, exit status, empty standard\n"
    "error, the bytes the target received, and the time taken. A failing session\n"
    "prints one line with its seed, then what differed. \"tessan-chaos 1 --seed\n"
    "SEED --verbose\" replays it; --verbose also shows each session's sim options\n"
    "and expectation. --record-ms is the time each record sent may take besides\n"
    "its waits (default 0.5). --rerun runs each mismatching session once more,\n"
    "alone, at the end (on a machine that others load too); the exit status\n"
    "then counts only those that mismatch again.\n"
    "Exit status: 0 when every session went as expected, 1 otherwise, 2 for a\n"
    "usage error.\n";

struct Options {
    uint64_t sessions = 100;
    uint64_t seed = 0;
    bool seedGiven = false;
    unsigned jobs = 4;
    double recordMs = 0.5;
    bool verbose = false;
    bool rerun = false;
};

bool ParseNumber(const char* text, uint64_t* out) {
    if (*text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (*end != '\0' || errno != 0 || text[0] == '-') return false;
    *out = v;
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    bool countGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        uint64_t v = 0;
        if ((a == "--seed" || a == "--jobs" || a == "--record-ms") && i + 1 < argc) {
            const char* value = argv[++i];
            if (a == "--record-ms") {
                char* end = nullptr;
                o->recordMs = strtod(value, &end);
                if (*end != '\0' || !(o->recordMs >= 0)) return false;
                continue;
            }
            if (!ParseNumber(value, &v)) return false;
            if (a == "--seed") {
                o->seed = v;
                o->seedGiven = true;
            } else {
                if (v < 1 || v > 64) return false;
                o->jobs = static_cast<unsigned>(v);
            }
        } else if (a == "--verbose") {
            o->verbose = true;
        } else if (a == "--rerun") {
            o->rerun = true;
        } else if (!countGiven && ParseNumber(a.c_str(), &v) && v >= 1) {
            o->sessions = v;
            countGiven = true;
        } else {
            return false;
        }
    }
    return true;
}

struct Outcome {
    uint64_t seed = 0;
    std::string kind;
    std::vector<std::string> tags;
    std::vector<Finding> findings;
    double seconds = 0;
    double bound = 0;
    double beyond = 0;  // seconds beyond the waits the choices imply
    size_t records = 0;
    int dots = -1;
    bool run = false;
    // From the sim's log: how late the successful re-open came after its
    // plan, and the port after its gap (valid when reopenKnown).
    bool reopenKnown = false;
    double attemptLateMs = 0;
    double portLateMs = 0;
    double reopenAfterMs = -1;  // after the port came back, when there were dots
};

// Set by the first Ctrl-C or SIGTERM: no new sessions start.
std::atomic<bool> gStop(false);

extern "C" void StopStarting(int sig) {
    gStop = true;
    signal(sig, SIG_DFL);  // a second one ends the run at once
}

// `text` indented for the details of a mismatch: carriage returns shown as
// "\r", each line cut at 200 characters, and of many lines only the first 40
// and the last 10 (an image of thousands of records has a progress line, and
// a log line of received bytes, for each).
std::string Excerpt(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c == '\r' ? std::string("\\r") : std::string(1, c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines.size() > 50 && i == 40) {
            out += "      (" + std::to_string(lines.size() - 50) + " lines left out)\n";
            i = lines.size() - 10;
        }
        const std::string& l = lines[i];
        out += "      " + (l.size() > 200 ? l.substr(0, 200) + "..." : l) + "\n";
    }
    return out;
}

// Writes the session's image file (or a folder in its place) and the bytes
// the target must receive, runs it and judges it.
Outcome RunSession(uint64_t seed, const Options& o, std::string* details) {
    Outcome out;
    out.seed = seed;
    const Session s = DrawSession(seed);
    out.tags = Tags(s);
    TempDir dir;
    if (dir.path().empty()) {
        out.findings.push_back({"setup", "no temporary folder"});
        return out;
    }
    if (s.imageKind == ImageKind::kUnreadable) {
        mkdir(dir.File("fw.txt").c_str(), 0755);
    } else {
        dir.Write("fw.txt", s.fileText);
    }
    dir.Write("expect.bin", s.image);

    const std::string port = dir.File("port");
    const Expectation e = Expect(s, port, "fw.txt", o.recordMs);
    out.kind = e.outcome;
    out.bound = e.maxSeconds;
    const std::vector<std::string> simArgs = SimArguments(s, dir.File("expect.bin"), e.maxSeconds + 30);
    if (!e.problem.empty()) {
        out.findings.push_back({"draw", "no single right outcome: " + e.problem});
        return out;
    }
    RunResult r = RunTool(NativeRunner(), dir.path(), 0, true, simArgs, {"fw.txt", "-COM", "{PORT}"},
                          e.maxSeconds + 10);
    out.seconds = r.seconds;
    out.findings = Judge(e, r, Slurp(dir.File("sim.err")));

    out.run = true;
    out.beyond = r.seconds - e.waitSeconds;
    out.records = e.records;
    out.dots = DotsIn(e, r.out);
    if (out.dots >= 0) {
        out.beyond -= kRetryMs / 1000.0 * (out.dots - e.dotsMin);
        ReopenTimes t = ReopenTimesOf(r.simLog);
        if (t.Known()) {
            out.reopenKnown = true;
            out.attemptLateMs = (t.opened - t.closed) / 1000.0 - (kCloseWaitMs + kRetryMs * out.dots);
            out.portLateMs = (t.published - t.closed) / 1000.0 - e.portGapMs;
            if (out.dots > 0) out.reopenAfterMs = (t.opened - t.published) / 1000.0;
        }
    }
    // The findings always, for a session that may not fail again alone;
    // with --verbose the choices and the expectation too.
    if (o.verbose) {
        std::string sim = "tessan-sim PORT";
        for (const std::string& a : simArgs) sim += " '" + a + "'";
        *details = "    sim: " + sim + "\n    image: " + s.shape + ", " + std::to_string(s.image.size()) +
                   " bytes, " + std::to_string(s.blockCounts.size()) + " records\n    expected: " + e.outcome +
                   ", exit " + std::to_string(e.status) + ", " + std::to_string(e.dotsMin) + " to " +
                   std::to_string(e.dotsMax) + " dots, target \"" + e.simResult + "\"\n";
        char line[160];
        snprintf(line, sizeof line, "    took %.2f s (bound %.2f to %.2f s)\n", r.seconds, e.minSeconds, e.maxSeconds);
        *details += line;
    }
    for (const Finding& f : out.findings) *details += "    " + f.what + ": " + f.detail + "\n";
    // What a mismatch that may not come back needs to be read: the tool's
    // console and the sim's timed log.
    if (!out.findings.empty()) {
        *details += "    the tool's output:\n" + Excerpt(r.out) + "    the sim's log:\n" + Excerpt(r.simLog);
    }
    return out;
}

std::string LoadAverage() {
    FILE* f = fopen("/proc/loadavg", "r");
    if (!f) return "?";
    char text[64] = {};
    if (!fgets(text, sizeof text, f)) text[0] = '\0';
    fclose(f);
    std::string s = text;
    return s.substr(0, s.find(' '));
}

void PrintFigures(const std::vector<Outcome>& outcomes, const Options& o, double wall, const std::string& loadStart) {
    std::vector<Outcome> all;
    for (const Outcome& x : outcomes)
        if (x.run || !x.findings.empty()) all.push_back(x);
    std::map<std::string, int> kinds, tags;
    size_t mismatches = 0;
    const Outcome* longest = nullptr;
    int mostDots = 0;
    double attemptLate = 0, portLate = 0, reopenAfter = 0;
    for (const Outcome& x : all) {
        ++kinds[x.kind.empty() ? "(not run)" : x.kind];
        if (x.reopenKnown) {
            attemptLate = std::max(attemptLate, x.attemptLateMs);
            reopenAfter = std::max(reopenAfter, x.reopenAfterMs);
            portLate = std::max(portLate, x.portLateMs);
        }
        for (const std::string& t : x.tags) ++tags[t];
        if (!x.findings.empty()) ++mismatches;
        if (!longest || x.seconds > longest->seconds) longest = &x;
        mostDots = std::max(mostDots, x.dots);
    }
    printf("sessions: %zu (seeds %llu to %llu), %u at a time, %.0f s of wall time\n", all.size(),
           static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(o.seed + o.sessions - 1),
           o.jobs, wall);
    if (all.size() < outcomes.size()) printf("stopped early: %zu sessions not run\n", outcomes.size() - all.size());
    printf("outcomes:\n");
    for (const auto& k : kinds) printf("  %6d  %s\n", k.second, k.first.c_str());
    printf("drawn:\n");
    for (const auto& t : tags) printf("  %6d  %s\n", t.second, t.first.c_str());
    printf("most dots in one session: %d\n", mostDots);
    printf("re-open: at most %.0f ms after the port came back; the successful attempt at most %.0f ms after its "
           "plan; the port back at most %.0f ms after its gap\n", reopenAfter, attemptLate, portLate);
    std::vector<const Outcome*> byBeyond;
    for (const Outcome& x : all)
        if (!x.kind.empty()) byBeyond.push_back(&x);
    std::sort(byBeyond.begin(), byBeyond.end(), [](const Outcome* a, const Outcome* b) { return a->beyond < b->beyond; });
    if (!byBeyond.empty()) {
        const Outcome* most = byBeyond.back();
        printf("time beyond the waits: least %.3f s, median %.3f s, most %.3f s (seed %llu, %zu records)\n",
               byBeyond.front()->beyond, byBeyond[byBeyond.size() / 2]->beyond, most->beyond,
               static_cast<unsigned long long>(most->seed), most->records);
    }
    if (longest) {
        printf("longest session: %.2f s (seed %llu, %s; its bound %.2f s)\n", longest->seconds,
               static_cast<unsigned long long>(longest->seed), longest->kind.c_str(), longest->bound);
    }
    printf("load average: %s at the start, %s at the end\n", loadStart.c_str(), LoadAverage().c_str());
    printf("mismatches: %zu\n", mismatches);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        fputs(kUsage, stdout);
        return 2;
    }
    if (!o.seedGiven) o.seed = static_cast<uint64_t>(time(nullptr));
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("tessan-chaos: %llu sessions from seed %llu, %u at a time\n",
           static_cast<unsigned long long>(o.sessions), static_cast<unsigned long long>(o.seed), o.jobs);

    // Session folders (the tool's output, the sim's port link and files) on
    // a RAM file system when there is one: other programs' disk traffic can
    // then not hold up a write or a link for the fraction of a second that
    // would tip the timings the oracle counts on.
    struct stat shm;
    if (getenv("TMPDIR") == nullptr && stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) &&
        access("/dev/shm", W_OK) == 0) {
        setenv("TMPDIR", "/dev/shm", 1);
    }
    const char* tmp = getenv("TMPDIR");
    printf("session folders in %s\n", tmp ? tmp : "/tmp");

    signal(SIGINT, StopStarting);
    signal(SIGTERM, StopStarting);
    const std::string loadStart = LoadAverage();
    const auto start = std::chrono::steady_clock::now();
    std::vector<Outcome> all(o.sessions);
    std::atomic<uint64_t> next(0);
    std::atomic<uint64_t> failed(0);
    uint64_t done = 0;
    std::mutex printing;
    const uint64_t every = std::max<uint64_t>(50, o.sessions / 10);

    auto worker = [&] {
        for (uint64_t i = next++; i < o.sessions && !gStop; i = next++) {
            std::string details;
            all[i] = RunSession(o.seed + i, o, &details);
            const Outcome& x = all[i];
            std::lock_guard<std::mutex> lock(printing);
            if (!x.findings.empty()) {
                ++failed;
                printf("MISMATCH seed %llu (%s): %s\n", static_cast<unsigned long long>(x.seed), x.kind.c_str(),
                       FindingNames(x.findings).c_str());
            }
            fputs(details.c_str(), stdout);
            if (++done % every == 0 && done < o.sessions) {
                double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                printf("  %llu of %llu sessions, %llu mismatches, %.0f s\n", static_cast<unsigned long long>(done),
                       static_cast<unsigned long long>(o.sessions), static_cast<unsigned long long>(failed.load()), s);
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned j = 0; j < std::min<uint64_t>(o.jobs, o.sessions); ++j) threads.emplace_back(worker);
    for (std::thread& t : threads) t.join();

    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PrintFigures(all, o, wall, loadStart);
    if (!o.rerun || failed.load() == 0) return failed.load() == 0 && !gStop ? 0 : 1;

    // Alone, a session that differed only because the machine was busy
    // goes as expected; one that differs again points at a fault.
    printf("re-running the %llu mismatching sessions one at a time:\n", static_cast<unsigned long long>(failed.load()));
    uint64_t again = 0;
    for (const Outcome& x : all) {
        if (x.findings.empty() || gStop) continue;
        std::string details;
        Outcome alone = RunSession(x.seed, o, &details);
        const std::string what = FindingNames(alone.findings);
        if (what.empty()) {
            printf("  seed %llu: as expected alone (%.2f s)\n", static_cast<unsigned long long>(x.seed), alone.seconds);
        } else {
            ++again;
            printf("MISMATCH AGAIN seed %llu (%s): %s\n", static_cast<unsigned long long>(x.seed), alone.kind.c_str(),
                   what.c_str());
        }
        fputs(details.c_str(), stdout);
    }
    printf("mismatches again when run alone: %llu of %llu\n", static_cast<unsigned long long>(again),
           static_cast<unsigned long long>(failed.load()));
    return again == 0 && !gStop ? 0 : 1;
}
