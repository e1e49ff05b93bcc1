// Judging one session against its expectation.
#include "Judge.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::string Hex(const std::string& bytes) {
    std::string out;
    char pair[4];
    for (unsigned char c : bytes) {
        snprintf(pair, sizeof pair, "%02x", c);
        out += pair;
    }
    return out;
}

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The log line's words after its time stamp.
bool LineAfterTime(const std::string& line, std::string* rest) {
    size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    *rest = line.substr(space + 1);
    return true;
}

std::string Shorter(const std::string& bytes) {
    std::string hex = Hex(bytes);
    return hex.size() > 80 ? hex.substr(0, 80) + "... (" + std::to_string(bytes.size()) + " bytes)" : hex;
}

// Where two byte strings first differ.
std::string WireDifference(const std::string& expected, const std::string& actual) {
    size_t same = 0;
    while (same < expected.size() && same < actual.size() && expected[same] == actual[same]) ++same;
    return "expected " + std::to_string(expected.size()) + " bytes, received " + std::to_string(actual.size()) +
           ", first difference at byte " + std::to_string(same) + ": expected " +
           Shorter(expected.substr(same, 16)) + ", received " + Shorter(actual.substr(same, 16));
}

}  // namespace

std::string ReceivedOn(const std::string& simLog, int n) {
    std::istringstream lines(simLog);
    std::string line, rest;
    const std::string head = "rx " + std::to_string(n);
    std::string bytes;
    while (std::getline(lines, line)) {
        if (!LineAfterTime(line, &rest) || rest.compare(0, head.size(), head) != 0) continue;
        if (rest.size() > head.size() && rest[head.size()] != ' ') continue;
        bytes.clear();
        for (size_t i = head.size() + 1; i + 1 < rest.size(); i += 2) {
            bytes += static_cast<char>(Digit(rest[i]) * 16 + Digit(rest[i + 1]));
        }
    }
    return bytes;
}

std::string SimResult(const std::string& simLog) {
    std::istringstream lines(simLog);
    std::string line, rest, result;
    while (std::getline(lines, line)) {
        if (LineAfterTime(line, &rest) && rest.compare(0, 7, "result ") == 0) result = rest.substr(7);
    }
    return result;
}

ReopenTimes ReopenTimesOf(const std::string& simLog) {
    ReopenTimes t;
    std::istringstream lines(simLog);
    std::string line, rest;
    while (std::getline(lines, line)) {
        if (!LineAfterTime(line, &rest)) continue;
        long long us = atoll(line.c_str());
        if (rest == "close 1" || rest == "vanish 1") t.closed = us;
        if (rest.compare(0, 10, "publish 2 ") == 0) t.published = us;
        if (rest == "open 2") t.opened = us;
    }
    return t;
}

int DotsIn(const Expectation& e, const std::string& actual) {
    if (actual.compare(0, e.before.size(), e.before) != 0) return -1;
    size_t dots = 0;
    while (e.before.size() + dots < actual.size() && actual[e.before.size() + dots] == '.') ++dots;
    return static_cast<int>(dots);
}

std::string FindingNames(const std::vector<Finding>& findings) {
    std::string names;
    for (const Finding& f : findings) names += (names.empty() ? "" : ", ") + f.what;
    return names;
}

// Whether the tool printed a row of dots (dots >= 0) of another length than
// the expectation allows.
static bool DotsOutside(const Expectation& e, int dots) {
    return dots >= 0 && (dots < e.dotsMin || dots > e.dotsMax);
}

std::string CompareOutput(const Expectation& e, const std::string& actual) {
    int dots = DotsIn(e, actual);
    if (DotsOutside(e, dots)) {
        return std::to_string(dots) + " dots, expected " + std::to_string(e.dotsMin) + " to " +
               std::to_string(e.dotsMax);
    }
    if (dots < 0) dots = e.dotsMin;
    return MatchOutput(e.before + std::string(static_cast<size_t>(dots), '.') + e.after, actual);
}

std::vector<Finding> Judge(const Expectation& e, const RunResult& r, const std::string& simErr) {
    std::vector<Finding> found;
    auto add = [&found](const std::string& what, const std::string& detail) { found.push_back({what, detail}); };
    if (!r.simStarted) {
        add("sim", "tessan-sim did not publish its port");
        return found;
    }
    char seconds[128];
    snprintf(seconds, sizeof seconds, "%.2f s, bound %.2f to %.2f s", r.seconds, e.minSeconds, e.maxSeconds);
    if (r.timedOut) add("hang", std::string("the tool did not end and was killed: ") + seconds);
    std::string output = CompareOutput(e, r.out);
    ReopenTimes t = ReopenTimesOf(r.simLog);
    int dots = DotsIn(e, r.out);
    if (DotsOutside(e, dots) && t.Known()) {
        // Who was late: the port (the sim) or the re-open attempts (the tool).
        output += "; the sim's log: port back " + std::to_string((t.published - t.closed) / 1000) + " ms after the close (gap " +
                  std::to_string(e.portGapMs) + " ms), opened at " + std::to_string((t.opened - t.closed) / 1000) + " ms";
    }
    if (!output.empty()) add("output", output);
    if (r.status != e.status) add("status", "exit status " + std::to_string(r.status) + ", expected " + std::to_string(e.status));
    if (!r.err.empty()) add("stderr", "the tool wrote to standard error: " + r.err.substr(0, 200));
    if (!simErr.empty()) add("sim stderr", "the sim wrote to standard error: " + simErr.substr(0, 200));
    std::string conn1 = ReceivedOn(r.simLog, 1);
    if (conn1 != e.conn1) add("wire 1", "before the reset: " + WireDifference(e.conn1, conn1));
    if (r.received != e.conn2) add("wire 2", "after the reset: " + WireDifference(e.conn2, r.received));
    int opens = OpensSeen(r.simLog);
    if (opens != e.opens) add("opens", "the target saw " + std::to_string(opens) + " opens, expected " + std::to_string(e.opens));
    std::string result = SimResult(r.simLog);
    if (result != e.simResult) add("target", "the sim's result \"" + result + "\", expected \"" + e.simResult + "\"");
    int simStatus = e.simResult == "ok" ? 0 : 1;
    if (r.simStatus != simStatus) add("sim status", "the sim's exit status " + std::to_string(r.simStatus) + ", expected " + std::to_string(simStatus));
    if (!r.timedOut && (r.seconds < e.minSeconds || r.seconds > e.maxSeconds)) add("time", seconds);
    // A port that was not back at the first attempt must be re-opened by
    // the next attempt after its return.
    long long after = (t.opened - t.published) / 1000;
    if (dots > 0 && t.published >= 0 && t.opened >= 0 && after > kRetryMs + kLateBaseMs + 90) {
        add("re-open", "the tool opened the port " + std::to_string(after) + " ms after it came back");
    }
    return found;
}
