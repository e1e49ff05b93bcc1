// tessan-gang end to end: the real program and its tessan children against
// several tessan-sim targets on pseudo-terminals, one case a row.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "e2e/Harness.h"
#include "e2e/Tmux.h"
#include "gang/GangArgs.h"
#include "gang/GangText.h"
#include "loader/Image.h"

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
    // "N%" and station counts "Updated N, failed N." stand for any; the end
    // lines in any order.
    std::string expected;
    int status = 255;
    bool portsTouched = true;     // false: no sim may have seen an open
    Action action = Action::kNone;
    bool compareLogs = false;     // each --logs file equals a lone tessan's output
};

const char kSmall[] = TESSAN_SOURCE_DIR "/examples/small.txt";
const char kLarge[] = TESSAN_SOURCE_DIR "/examples/large.txt";

std::string B(int n, const std::string& dir) { return dir + "/b" + std::to_string(n); }

std::string Fill(std::string text, const std::string& dir) {
    for (int n = 9; n >= 1; --n) text = Replace(text, "{B" + std::to_string(n) + "}", B(n, dir));
    return Replace(text, "{DIR}", dir);
}

// Seconds, percents and counts to placeholders; the lines before the
// summary sorted, since boards end in any order.
std::string Normalize(const std::string& out) {
    std::string s = std::regex_replace(out, std::regex("\\(\\d+\\.\\d s\\)"), "(S s)");
    s = std::regex_replace(s, std::regex("\\d+%"), "N%");
    s = std::regex_replace(s, std::regex("Updated \\d+, failed \\d+\\."), "Updated N, failed N.");
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

// The pids of processes whose command line holds `text`, and whose first
// argument ends in `program` when that is given.
std::vector<pid_t> ProcessesWith(const std::string& text, const std::string& program = "") {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        const std::string cmdline = Slurp("/proc/" + std::string(entry->d_name) + "/cmdline");
        const std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
        const bool named = program.empty() || (argv0.size() >= program.size() &&
                                               argv0.compare(argv0.size() - program.size(), program.size(), program) == 0);
        if (named && cmdline.find(text) != std::string::npos) pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

struct Sim {
    pid_t pid = -1;
    int status = -2;  // its exit status once stopped
    std::string log, rx;
};

Sim StartSim(const std::string& dir, const std::string& port, const std::vector<std::string>& options,
             const std::string& tag) {
    Sim sim;
    sim.log = dir + "/sim" + tag + ".log";
    sim.rx = dir + "/rx" + tag + ".bin";
    std::vector<std::string> argv = {SimPath(), port, "--log", sim.log, "--rx", sim.rx, "--timeout", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    const std::string out = dir + "/sim" + tag + ".out";
    sim.pid = StartProcess(argv, dir, out, dir + "/sim" + tag + ".err");
    EXPECT_TRUE(WaitForText(out, "\n", 10)) << "sim " << tag << " did not start";
    return sim;
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

// The message of each board's end line, by port.
std::string MessageOf(const std::string& out, const std::string& port) {
    std::smatch m;
    const std::regex line("(^|\n)" + std::regex_replace(port, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") +
                          ": (.*) \\(\\d+\\.\\d s\\)");
    return std::regex_search(out, m, line) ? m[2].str() : "";
}

std::vector<GangCase> Cases() {
    const std::vector<std::string> good = {};
    const std::vector<std::string> slow = {"--line-rate"};
    std::vector<GangCase> cases;
    {
        GangCase c;
        c.name = "EightBoardsTwoMisbehaving";
        c.boards = {good, good, {"--silent", "3"}, good, good, {"--status", "2:7"}, good, good};
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
        c.name = "InterruptMidTransfer";
        c.boards = {slow, slow, slow};
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
        c.boards = {slow, slow};
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
                     "{B1}: Target updated successfully. (S s) Updated N, failed N.\n"
                     "{B2}: Target updated successfully. (S s) Updated N, failed N.\n"
                     "{B3}: Target updated successfully. (S s) Updated N, failed N.\n"
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
                     "{B1}: Target updated successfully. (S s) Updated N, failed N.\n"
                     "{B1}: Target updated successfully. (S s) Updated N, failed N.\n"
                     "{B2}: Target updated successfully. (S s) Updated N, failed N.\n"
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
    EXPECT_EQ(Normalize(out), Normalize(Fill(c.expected, dir)));
    EXPECT_EQ(Slurp(dir + "/gang.err"), "");

    // Every target the gang reported updated received exactly the image;
    // none was touched when the run was refused.
    const std::string bytes = ImageBytes(image);
    if (replug.pid > 0) sims.push_back(replug);
    for (size_t i = 0; i < sims.size(); ++i) {
        if (sims[i].pid < 0) continue;
        const int simStatus = sims[i].status != -2 ? sims[i].status : StopProcess(sims[i].pid, 1);
        const std::string port = i < c.boards.size() ? B(static_cast<int>(i) + 1, dir) : B(1, dir);
        const bool updated = MessageOf(out, port) == "Target updated successfully.";
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
        const std::regex form(
            "\\{\"port\":\"([^\"]*)\",\"start\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\","
            "\"end\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\",\"seconds\":\\d+\\.\\d{3},"
            "\"outcome\":\"(updated|failed|timed out|interrupted)\",\"message\":\"([^\"\\\\]*)\","
            "\"image_sha256\":\"([0-9a-f]{64})\",\"tool_version\":\"1\\.2\"\\}");
        std::istringstream lines(report);
        std::string line;
        size_t count = 0;
        while (std::getline(lines, line)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, form)) << line;
            ++count;
            EXPECT_EQ(m[3].str(), MessageOf(out, m[1].str())) << line;
            EXPECT_EQ(m[2].str() == "updated", m[3].str() == "Target updated successfully.") << line;
            EXPECT_EQ(m[4].str(), Sha256sum(image));
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

// A real terminal: while 4 boards transfer, one row each with its percent;
// at the end the screen holds the last table and the summary, nothing else.
TEST(GangTerminal, TableDrawnInPlaceAndNothingLeftOver) {
    if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed";
    TempDir tmp;
    const std::string dir = tmp.path();
    std::vector<Sim> sims;
    std::string command = std::string(TESSAN_GANG_PATH) + " " + kLarge;
    for (int n = 1; n <= 4; ++n) {
        sims.push_back(StartSim(dir, B(n, dir), {"--line-rate"}, std::to_string(n)));
        command += " " + B(n, dir);
    }
    Tmux tmux(dir, "/bin/sh", "-x 120 -y 30");
    ASSERT_TRUE(tmux.ok());
    ASSERT_TRUE(tmux.Type("clear; " + command + "; echo status $?"));

    // A table row of board n, in regex form.
    const auto row = [&dir](int n, const std::string& doing) {
        return std::regex_replace(B(n, dir), std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") + " +" + doing + " +\\d+ s\n";
    };
    const std::regex transferring(row(1, "transferring [1-9]\\d*%") + row(2, "transferring \\d+%") +
                                  row(3, "transferring \\d+%") + row(4, "transferring \\d+%"));
    bool seen = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!seen && std::chrono::steady_clock::now() < end) {
        seen = std::regex_search(tmux.Screen(), transferring);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(seen) << tmux.Screen();

    std::string screen;
    while (std::chrono::steady_clock::now() < end && screen.find("status ") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        screen = tmux.Screen();
    }
    // The shell's prompt follows ("$" or "#").
    const std::regex final(row(1, "updated") + row(2, "updated") + row(3, "updated") + row(4, "updated") +
                           "Updated 4 of 4 boards\\.\nstatus 0\n[$#]?\n?");
    EXPECT_TRUE(std::regex_match(screen, final)) << screen;
    for (Sim& sim : sims) EXPECT_EQ(StopProcess(sim.pid, 2), 0);
}

INSTANTIATE_TEST_SUITE_P(Case, GangE2E, ::testing::Range<size_t>(0, Cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) { return Cases()[info.param].name; });

}  // namespace
