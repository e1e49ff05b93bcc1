// tessan-gang end to end: the real program and its tessan children against
// several tessan-sim targets on pseudo-terminals, one case a row.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "GangHarness.h"
#include "TempDir.h"
#include "e2e/Harness.h"
#include "gang/GangArgs.h"
#include "gang/GangText.h"
#include "loader/Image.h"
#include "net/Ser2net.h"

namespace {

// What happens while the gang runs.
enum class Action {
    kNone,
    kInterrupt,   // SIGINT to the gang's process group once every board transfers
    kKillFirst,   // board 1's tessan killed from outside mid-transfer
    kLateThird,   // station: board 3 appears a second after the start
    kReplugFirst, // station: board 1 comes back (a new sim) after its flash
};

struct GangCase {
    std::string name;
    // Per board, the sim's options ("none": no sim at that port).
    std::vector<std::vector<std::string>> boards;
    // The gang's arguments: "{IMAGE}" the image, "{Bn}" board n's port,
    // "{DIR}" the test's folder; empty: the image then every board's port.
    std::vector<std::string> args;
    std::vector<std::string> extra;  // appended to args
    std::string image;               // fw.txt's contents (empty: examples/small.txt)
    // Standard output, "{Bn}" and "{DIR}" filled in; seconds "(S s)", percents
    // "N%" and the station's count of updated boards "Updated N," stand for any; the end
    // lines in any order.
    std::string expected;
    int status = 255;
    bool portsTouched = true;     // false: no sim may have seen an open
    Action action = Action::kNone;
    bool compareLogs = false;     // each --logs file equals a lone tessan's output
    bool json = false;            // --json: standard output is checked as the event stream
    std::vector<int> noGreeting;  // boards whose report says "greeting":null
};

std::string Fill(std::string text, const std::string& dir) {
    for (int n = 9; n >= 1; --n) text = Replace(text, "{B" + std::to_string(n) + "}", B(n, dir));
    return Replace(text, "{DIR}", dir);
}

// `text` with each run of digits (and full stops) that stands between
// `before` and `after` made `with`.
std::string Mask(const std::string& text, const std::string& before, const std::string& after,
                 const std::string& with) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, before.size(), before) == 0) {
            size_t end = i + before.size();
            while (end < text.size() && (isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) ++end;
            if (end > i + before.size() && text.compare(end, after.size(), after) == 0) {
                out += before + with + after;
                i = end + after.size();
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

// Seconds, percents and counts to placeholders; the lines before the
// summary sorted, since boards end in any order.
std::string Normalize(const std::string& out) {
    std::string s = Mask(Mask(out, "(", " s)", "S"), " ", "%", "N");
    s = Mask(s, "Updated ", ", failed ", "N");
    std::vector<std::string> lines;
    std::istringstream in(s);
    std::string line, tail;
    bool summary = false;
    while (std::getline(in, line)) {
        summary = summary || line.compare(0, 8, "Updated ") == 0 || line.compare(0, 6, "usage:") == 0;
        if (summary) tail += line + "\n";
        else lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& l : lines) sorted += l + "\n";
    return sorted + tail;
}

// The bytes a target must receive: the image decoded.
std::string ImageBytes(const std::string& file) {
    static unsigned char image[kImageCapacity];
    size_t length = 0;
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr || ReadImageFile(f, image, kImageCapacity, &length) != ImageRead::kOk) length = 0;
    if (f) fclose(f);
    return std::string(reinterpret_cast<char*>(image), length);
}

std::string Sha256sum(const std::string& file) {
    FILE* pipe = popen(("sha256sum '" + file + "'").c_str(), "r");
    char digest[65] = {};
    if (pipe == nullptr || fread(digest, 1, 64, pipe) != 64) digest[0] = 0;
    if (pipe) pclose(pipe);
    return digest;
}

// The message of a board's end line, "PORT: MESSAGE (12.3 s)..." (the
// first such line), or "" when there is none.
std::string MessageOf(const std::string& out, const std::string& port) {
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, port.size() + 2, port + ": ") != 0) continue;
        const size_t close = line.rfind(" s)");
        const size_t open = close == std::string::npos ? close : line.rfind(" (", close);
        if (open != std::string::npos && open >= port.size() + 2) return line.substr(port.size() + 2, open - port.size() - 2);
    }
    return "";
}

// Takes `literal` at *at.
bool Take(const std::string& s, size_t* at, const std::string& literal) {
    if (s.compare(*at, literal.size(), literal) != 0) return false;
    *at += literal.size();
    return true;
}

// Takes a JSON string without escapes at *at (after its opening quote) up to
// its closing quote and the text `then`.
bool TakeString(const std::string& s, size_t* at, std::string* value, const std::string& then) {
    const size_t end = s.find('"', *at);
    if (end == std::string::npos) return false;
    *value = s.substr(*at, end - *at);
    *at = end + 1;
    return value->find('\\') == std::string::npos && Take(s, at, then);
}

bool IsTime(const std::string& t) {  // 2026-12-09T04:18:48Z
    static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    if (t.size() != sizeof kForm - 1) return false;
    for (size_t i = 0; i < t.size(); ++i) {
        if (kForm[i] == 'd' ? !isdigit(static_cast<unsigned char>(t[i])) : t[i] != kForm[i]) return false;
    }
    return true;
}

struct ReportFields {
    std::string port, start, end, seconds, outcome, message, sha, greeting;  // greeting "null" for null
};

// One report line in its exact form: the keys in order, the times, the
// seconds, the outcome, the digest and the version.
bool ParseReportLine(const std::string& line, ReportFields* f) {
    size_t at = 0;
    if (!Take(line, &at, "{\"port\":\"") || !TakeString(line, &at, &f->port, ",\"start\":\"") ||
        !TakeString(line, &at, &f->start, ",\"end\":\"") || !TakeString(line, &at, &f->end, ",\"seconds\":")) {
        return false;
    }
    const size_t comma = line.find(',', at);
    if (comma == std::string::npos) return false;
    f->seconds = line.substr(at, comma - at);
    at = comma;
    if (!Take(line, &at, ",\"outcome\":\"") || !TakeString(line, &at, &f->outcome, ",\"message\":\"") ||
        !TakeString(line, &at, &f->message, ",\"image_sha256\":\"") ||
        !TakeString(line, &at, &f->sha, ",\"tool_version\":\"" TESSAN_VERSION "\",\"greeting\":")) {
        return false;
    }
    // A pseudo-terminal has no USB device behind it.
    if (Take(line, &at, "null")) {
        f->greeting = "null";
        if (!Take(line, &at, ",\"usb\":null}")) return false;
    } else if (!Take(line, &at, "\"") || !TakeString(line, &at, &f->greeting, ",\"usb\":null}")) {
        return false;
    }
    if (at != line.size()) return false;
    const size_t dot = f->seconds.find('.');
    const bool secondsOk = dot != std::string::npos && dot > 0 && f->seconds.size() == dot + 4 &&
                           f->seconds.find_first_not_of("0123456789.") == std::string::npos;
    const bool outcomeOk = f->outcome == "updated" || f->outcome == "failed" || f->outcome == "timed out" ||
                           f->outcome == "interrupted";
    const bool shaOk = f->sha.size() == 64 && f->sha.find_first_not_of("0123456789abcdef") == std::string::npos;
    return IsTime(f->start) && IsTime(f->end) && secondsOk && outcomeOk && shaOk;
}

// The --json stream, read by Python's own JSON parser: every line one
// object; each board's events in order (start, phases going forward and
// never repeated, end); the summary last, agreeing with the ends. Prints
// each end event's keys after "board" as a report line.
const char kCheckEvents[] = R"(
import json, sys
lines = open(sys.argv[1]).read().splitlines()
order = ["trigger", "waiting for the port", "greeting", "transferring"]
seen, failed, updated = {}, [], 0
for i, line in enumerate(lines):
    e = json.loads(line)
    k, b = e["event"], e.get("board")
    if k == "summary":
        assert i == len(lines) - 1 and e["updated"] == updated and e["not_updated"] == [p for _, p in sorted(failed)], line
        assert e["boards"] == len(seen) == int(sys.argv[2]) and all(p[-1] == (9, 0) for p in seen.values()), line
    elif k == "start":
        assert b not in seen and list(e) == ["event", "board", "port", "time", "usb"] and e["usb"] is None, line
        seen[b] = [(-1, 0)]
    elif k == "phase":
        now = (order.index(e["phase"]), e.get("percent", 0))
        assert ("percent" in e) == (now[0] == 3) and seen[b][-1] < now, line
        seen[b].append(now)
    else:
        assert k == "end" and list(e)[:3] == ["event", "board", "port"] and seen[b][-1] < (9, 0), line
        seen[b].append((9, 0))
        updated += e["outcome"] == "updated"
        failed += [] if e["outcome"] == "updated" else [(b, e["port"])]
        print("{" + line[line.index(',"port":') + 1:])
assert lines[-1].startswith('{"event":"summary"')
)";

std::vector<GangCase> Cases() {
    const std::vector<std::string> good = {};
    const std::vector<std::string> slow = {"--line-rate"};
    // A board that is still transferring long after the test acts on it, so
    // that a test delayed on a loaded machine still interrupts or kills a
    // transfer in its middle rather than after its end.
    const std::vector<std::string> lasting = {"--line-rate", "--program-delay", "100000"};
    std::vector<GangCase> cases;
    {
        GangCase c;
        c.name = "EightBoardsTwoMisbehaving";
        c.boards = {good, good, {"--silent", "3"}, {"--greeting", "BOOT-2.1 Q+"}, good, {"--status", "2:7"}, good, good};
        c.extra = {"--logs", "{DIR}/logs", "--report", "{DIR}/report.jsonl"};
        c.expected =
            "{B1}: Target updated successfully. (S s)\n{B2}: Target updated successfully. (S s)\n"
            "{B3}: Failed: Target is not responding. (S s)\n{B4}: Target updated successfully. (S s)\n"
            "{B5}: Target updated successfully. (S s)\n{B6}: Error. Error code 7. (S s)\n"
            "{B7}: Target updated successfully. (S s)\n{B8}: Target updated successfully. (S s)\n"
            "Updated 6 of 8 boards.\nNot updated: {B3} {B6}\n";
        c.compareLogs = true;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "AllUpdated";
        c.boards = {good, good, good};
        c.args = {"--report", "{DIR}/report.jsonl", "--timeout", "30", "{IMAGE}", "{B1}", "{B2}", "{B3}"};
        c.expected = "{B1}: Target updated successfully. (S s)\n{B2}: Target updated successfully. (S s)\n"
                     "{B3}: Target updated successfully. (S s)\nUpdated 3 of 3 boards.\n";
        c.status = 0;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "BadImageTouchesNothing";
        c.boards = {good, good};
        c.image = "5 0 1 2";
        c.args = {"fw.txt", "{B1}", "{B2}"};
        c.expected = "Error: File 'fw.txt' is truncated: the record at offset 0 needs 85 bytes, 4 remain.\n";
        c.portsTouched = false;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "MissingImage";
        c.boards = {good};
        c.args = {"nope.txt", "{B1}"};
        c.expected = "Error: File 'nope.txt' not found.\n";
        c.portsTouched = false;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "PortNamedTwice";
        c.boards = {good, good};
        c.args = {"{IMAGE}", "{B1}", "{B2}", "{B1}"};
        c.expected = "Error: Port {B1} is named twice.\n";
        c.portsTouched = false;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "OneServerWithTwoQueries";  // the port is the URL without its query
        c.args = {"{IMAGE}", "rfc2217://127.0.0.1:1?ca=a.pem", "rfc2217://127.0.0.1:1?ca=b.pem"};
        c.expected = "Error: Port rfc2217://127.0.0.1:1 is named twice.\n";
        c.portsTouched = false;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "TwoNamesForOneDevice";  // {DIR}/alias is made a link to board 2's port
        c.boards = {good, good};
        c.args = {"{IMAGE}", "{B1}", "{B2}", "{DIR}/alias"};
        c.expected = "Error: Ports {B2} and {DIR}/alias are the same device.\n";
        c.portsTouched = false;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "UsageWithoutPort";
        c.boards = {good};
        c.args = {"{IMAGE}", "--timeout", "9"};
        c.expected = kGangUsage;
        c.portsTouched = false;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "TimeoutOnAPortThatNeverComesBack";
        c.boards = {{"--vanish-in-reply"}, good, {"none"}};
        c.extra = {"--timeout", "5", "--report", "{DIR}/report.jsonl"};
        c.expected = "{B1}: Timed out after 5 s (waiting for the port). (S s)\n"
                     "{B2}: Target updated successfully. (S s)\n"
                     "{B3}: Error: {B3} in use or does not exist. (S s)\n"
                     "Updated 1 of 3 boards.\nNot updated: {B1} {B3}\n";
        c.noGreeting = {1, 3};
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "ReportOnAFullDisk";
        c.boards = {good};
        c.extra = {"--report", "/dev/full"};
        c.expected = "{B1}: Target updated successfully. (S s)\n"
                     "Error: Cannot write the report '/dev/full': No space left on device.\n"
                     "Updated 1 of 1 board.\n";
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "JsonFourBoardsOneFailing";
        c.boards = {good, {"--status", "3:9"}, {"--greeting", "L\xc3\xa4" "der 3+"}, good};
        c.extra = {"--json", "--report", "{DIR}/report.jsonl", "--logs", "{DIR}/logs"};
        c.json = true;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "InterruptMidTransfer";
        c.boards = {lasting, lasting, lasting};
        c.image = "large";
        c.extra = {"--logs", "{DIR}/logs", "--report", "{DIR}/report.jsonl"};
        c.expected = "{B1}: Interrupted (transferring N%). (S s)\n{B2}: Interrupted (transferring N%). (S s)\n"
                     "{B3}: Interrupted (transferring N%). (S s)\nUpdated 0 of 3 boards.\n"
                     "Not updated: {B1} {B2} {B3}\n";
        c.action = Action::kInterrupt;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "ChildKilledFromOutside";
        c.boards = {lasting, slow};
        c.image = "large";
        c.extra = {"--logs", "{DIR}/logs"};
        c.expected = "{B1}: tessan ended without a result (killed). (S s)\n"
                     "{B2}: Target updated successfully. (S s)\nUpdated 1 of 2 boards.\nNot updated: {B1}\n";
        c.action = Action::kKillFirst;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "StationFlashesEachNewBoardOnce";
        c.boards = {good, good, good};
        c.args = {"{IMAGE}", "--wait", "{DIR}/b*", "--count", "3", "--settle", "0.5", "--logs", "{DIR}/logs"};
        c.expected = "Waiting for ports matching {DIR}/b* (Ctrl-C ends).\n"
                     "{B1}: Target updated successfully. (S s) Updated N, failed 0.\n"
                     "{B2}: Target updated successfully. (S s) Updated N, failed 0.\n"
                     "{B3}: Target updated successfully. (S s) Updated N, failed 0.\n"
                     "Updated 3 of 3 boards.\n";
        c.status = 0;
        c.action = Action::kLateThird;
        cases.push_back(c);
    }
    {
        GangCase c;
        c.name = "StationFlashesAReplugAfterTheSettleTime";
        c.boards = {good, good};
        c.args = {"{IMAGE}", "--wait", "{DIR}/b*", "--count", "3", "--settle", "0.5"};
        c.expected = "Waiting for ports matching {DIR}/b* (Ctrl-C ends).\n"
                     "{B1}: Target updated successfully. (S s) Updated N, failed 0.\n"
                     "{B1}: Target updated successfully. (S s) Updated N, failed 0.\n"
                     "{B2}: Target updated successfully. (S s) Updated N, failed 0.\n"
                     "Updated 3 of 3 boards.\n";
        c.status = 0;
        c.action = Action::kReplugFirst;
        cases.push_back(c);
    }
    return cases;
}

class GangE2E : public ::testing::TestWithParam<size_t> {};

TEST_P(GangE2E, Run) {
    const GangCase c = Cases()[GetParam()];
    TempDir tmp;
    const std::string dir = tmp.path();
    const std::string image = c.image.empty() ? kSmall : c.image == "large" ? kLarge : tmp.Write("fw.txt", c.image);
    if (c.name == "TwoNamesForOneDevice") {
        ASSERT_EQ(symlink(B(2, dir).c_str(), (dir + "/alias").c_str()), 0);
    }

    const bool lateThird = c.action == Action::kLateThird;
    std::vector<Sim> sims(c.boards.size());
    for (size_t i = 0; i < c.boards.size(); ++i) {
        if (c.boards[i] == std::vector<std::string>{"none"} || (lateThird && i == 2)) continue;
        sims[i] = StartSim(dir, B(static_cast<int>(i) + 1, dir), c.boards[i], std::to_string(i + 1));
    }

    std::vector<std::string> argv = {TESSAN_GANG_PATH};
    if (c.args.empty()) {
        argv.push_back(image);
        for (size_t i = 0; i < c.boards.size(); ++i) argv.push_back(B(static_cast<int>(i) + 1, dir));
    }
    for (const std::string& a : c.args) argv.push_back(Replace(Fill(a, dir), "{IMAGE}", image));
    for (const std::string& a : c.extra) argv.push_back(Fill(a, dir));
    const pid_t gang = StartProcess(argv, dir, dir + "/gang.out", dir + "/gang.err");

    Sim replug;
    if (c.action == Action::kInterrupt || c.action == Action::kKillFirst) {
        for (size_t i = 0; i < c.boards.size(); ++i) {
            ASSERT_TRUE(WaitForText(dir + "/logs/" + LogFileName(B(static_cast<int>(i) + 1, dir), 0), "Transferring.. ", 20))
                << "board " << i + 1 << " did not start its transfer";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (c.action == Action::kInterrupt) {
            kill(-gang, SIGINT);  // the gang's whole process group, as a terminal does
        } else {
            const std::vector<pid_t> first = ProcessesWith(B(1, dir) + '\0', "/tessan");
            ASSERT_EQ(first.size(), 1u);
            kill(first[0], SIGKILL);
        }
    } else if (lateThird) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        sims[2] = StartSim(dir, B(3, dir), c.boards[2], "3");
    } else if (c.action == Action::kReplugFirst) {
        sims[0].status = StopProcess(sims[0].pid, 20);
        EXPECT_EQ(sims[0].status, 0) << "board 1's first flash";
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        replug = StartSim(dir, B(1, dir), {}, "1b");
    }

    const int status = StopProcess(gang, 40);
    const std::string out = Slurp(dir + "/gang.out");
    EXPECT_EQ(status, c.status) << out;
    std::vector<std::string> ends;  // the --json stream's end events as report lines
    std::map<std::string, std::string> messages;
    if (c.json) {
        const std::string script = tmp.Write("check.py", kCheckEvents);
        const std::string command = "python3 " + script + " " + dir + "/gang.out " + std::to_string(c.boards.size());
        EXPECT_EQ(system((command + " >" + dir + "/ends.txt 2>&1").c_str()), 0) << Slurp(dir + "/ends.txt") << out;
        std::istringstream lines(Slurp(dir + "/ends.txt"));
        for (std::string line; std::getline(lines, line);) {
            ReportFields f;
            if (ParseReportLine(line, &f)) messages[f.port] = f.message;
            ends.push_back(line + "\n");
        }
    } else {
        EXPECT_EQ(Normalize(out), Normalize(Fill(c.expected, dir)));
    }
    const auto messageOf = [&](const std::string& port) { return c.json ? messages[port] : MessageOf(out, port); };
    EXPECT_EQ(Slurp(dir + "/gang.err"), "");

    // Every target the gang reported updated received exactly the image;
    // none was touched when the run was refused.
    const std::string bytes = ImageBytes(image);
    if (replug.pid > 0) sims.push_back(replug);
    for (size_t i = 0; i < sims.size(); ++i) {
        if (sims[i].pid < 0) continue;
        const int simStatus = sims[i].status != -2 ? sims[i].status : StopProcess(sims[i].pid, 1);
        const std::string port = i < c.boards.size() ? B(static_cast<int>(i) + 1, dir) : B(1, dir);
        const bool updated = messageOf(port) == "Target updated successfully.";
        if (updated) {
            EXPECT_EQ(simStatus, 0) << "board " << i + 1;
            EXPECT_TRUE(Slurp(sims[i].rx) == bytes) << "board " << i + 1 << " received something else";
        } else {
            EXPECT_NE(simStatus, 0) << "board " << i + 1 << " was not reported updated";
        }
        if (!c.portsTouched) {
            EXPECT_EQ(OpensSeen(Slurp(sims[i].log)), 0) << "board " << i + 1;
        }
    }
    // No tessan, and nothing else of this test, is left running.
    EXPECT_EQ(ProcessesWith(dir).size(), 0u);

    // The report: one line per board, in its form, agreeing with the lines.
    const std::string report = Slurp(dir + "/report.jsonl");
    if (!report.empty()) {
        std::istringstream lines(report);
        std::string line;
        size_t count = 0;
        while (std::getline(lines, line)) {
            ReportFields f;
            ASSERT_TRUE(ParseReportLine(line, &f)) << line;
            ++count;
            EXPECT_EQ(f.message, messageOf(f.port)) << line;
            EXPECT_EQ(f.outcome == "updated", f.message == "Target updated successfully.") << line;
            EXPECT_EQ(f.sha, Sha256sum(image));
            // The loader's greeting: its sim's, or none where the board never got that far.
            const size_t n = static_cast<size_t>(std::stoi(f.port.substr(dir.size() + 2)));
            const auto given = std::find(c.boards[n - 1].begin(), c.boards[n - 1].end(), "--greeting");
            const bool none = std::find(c.noGreeting.begin(), c.noGreeting.end(), n) != c.noGreeting.end();
            EXPECT_EQ(f.greeting, none ? "null" : given != c.boards[n - 1].end() ? given[1] : "LOADER v1.0+") << line;
            EXPECT_TRUE(!c.json || std::find(ends.begin(), ends.end(), line + "\n") != ends.end()) << line;
        }
        EXPECT_EQ(count, c.boards.size());
    }

    // Each board's log holds exactly what tessan alone prints against a
    // target that behaves the same.
    if (c.compareLogs) {
        std::vector<Sim> lone(c.boards.size());
        std::vector<pid_t> tools(c.boards.size());
        for (size_t i = 0; i < c.boards.size(); ++i) {
            const std::string port = dir + "/lone" + std::to_string(i + 1);
            lone[i] = StartSim(dir, port, c.boards[i], "lone" + std::to_string(i + 1));
            tools[i] = StartProcess({ToolPath(), image, "-COM", port}, dir, port + ".out", port + ".err");
        }
        for (size_t i = 0; i < c.boards.size(); ++i) {
            StopProcess(tools[i], 20);
            StopProcess(lone[i].pid, 1);
            const std::string n = std::to_string(i + 1);
            const std::string alone = Replace(Slurp(dir + "/lone" + n + ".out"), dir + "/lone" + n, B(static_cast<int>(i) + 1, dir));
            const std::string log = Slurp(dir + "/logs/" + LogFileName(B(static_cast<int>(i) + 1, dir), 0));
            EXPECT_TRUE(log == alone) << "board " << n << ": " << MatchOutput(alone, log);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Case, GangE2E, ::testing::Range<size_t>(0, Cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) { return Cases()[info.param].name; });

}  // namespace

// Two boards behind ser2net's TLS accepters, over rfc2217+tls:// with the
// lab's client certificate: both flashed, each row and report line naming
// the port without its URL's query.
TEST(GangTls, TwoBoardsOverRfc2217Tls) {
    REQUIRE_SER2NET_TLS();
    TempDir tmp;
    const std::string dir = tmp.path();
    Sim sims[2];
    Ser2net servers[2];
    std::vector<std::string> argv = {TESSAN_GANG_PATH, kSmall, "--report", dir + "/report.jsonl"};
    std::string expected;
    for (int i = 0; i < 2; ++i) {
        sims[i] = StartSim(dir, B(i + 1, dir), {}, std::to_string(i + 1));
        const std::string serverDir = dir + "/s" + std::to_string(i + 1);
        ASSERT_EQ(mkdir(serverDir.c_str(), 0755), 0);
        servers[i].certs = TestCertificates();
        ASSERT_TRUE(StartSer2net(serverDir, B(i + 1, dir), &servers[i])) << Slurp(serverDir + "/ser2net.log");
        argv.push_back(servers[i].Url(true));
        expected += servers[i].UrlWith(true, true, "") + ": Target updated successfully. (S s)\n";
    }
    const pid_t gang = StartProcess(argv, dir, dir + "/gang.out", dir + "/gang.err");
    EXPECT_EQ(StopProcess(gang, 40), 0);
    for (Ser2net& server : servers) StopSer2net(&server);
    const std::string out = Slurp(dir + "/gang.out");
    EXPECT_EQ(Normalize(out), Normalize(expected + "Updated 2 of 2 boards.\n"));
    EXPECT_EQ(Slurp(dir + "/gang.err"), "");
    for (Sim& sim : sims) {
        EXPECT_EQ(StopProcess(sim.pid, 1), 0) << Slurp(sim.log);
        EXPECT_TRUE(Slurp(sim.rx) == ImageBytes(kSmall));
    }
    std::istringstream lines(Slurp(dir + "/report.jsonl"));
    std::string line;
    for (int i = 0; i < 2 && std::getline(lines, line); ++i) {
        ReportFields f;
        ASSERT_TRUE(ParseReportLine(line, &f)) << line;
        EXPECT_EQ(f.port.find('?'), std::string::npos) << line;
        EXPECT_EQ(f.outcome, "updated") << line;
    }
}
