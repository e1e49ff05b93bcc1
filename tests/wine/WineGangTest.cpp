// tessan-gang.exe under Wine: three boards on Wine COM ports (one answering
// an error code), then a port named twice; the same checks as on ptys where
// they apply.
#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "../Http.h"
#include "../TempDir.h"
#include "../e2e/Cases.h"
#include "../e2e/Harness.h"
#include "WineRunner.h"

namespace {

// The lines before the summary sorted (boards end in any order), seconds
// made "S".
std::string Sorted(const std::string& out) {
    std::istringstream in(out);
    std::vector<std::string> lines;
    std::string line, tail;
    while (std::getline(in, line)) {
        const size_t open = line.rfind(" (");
        if (open != std::string::npos && line.size() > open + 2 && line.compare(line.size() - 3, 3, " s)") == 0) {
            line = line.substr(0, open) + " (S s)";
        }
        if (line.compare(0, 8, "Updated ") == 0 || !tail.empty()) tail += line + "\n";
        else lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& l : lines) sorted += l + "\n";
    return sorted + tail;
}

}  // namespace

TEST(WineGang, ThreeBoardsOnComPorts) {
    REQUIRE_WINE_SESSION();
    if (access(TESSAN_WIN_GANG_EXE, F_OK) != 0) GTEST_SKIP() << "no Windows build at " TESSAN_WIN_GANG_EXE;
    // COM numbers no other Wine case uses.
    const int first = kFirstCom + static_cast<int>(AllCases().size()) + 1;
    ASSERT_LE(first + 2, kLastCom);
    TempDir dir;
    const std::string image = TESSAN_SOURCE_DIR "/examples/small.txt";
    std::vector<pid_t> sims;
    for (int k = 0; k < 3; ++k) {
        const std::string n = std::to_string(k);
        std::vector<std::string> argv = {SimPath(), WinePrefix() + "/dosdevices/com" + std::to_string(first + k),
                                         "--rx", dir.File("rx" + n), "--timeout", "60"};
        if (k == 1) argv.insert(argv.end(), {"--status", "2:7"});
        sims.push_back(StartProcess(argv, dir.path(), dir.File("sim" + n + ".out"), dir.File("sim" + n + ".err")));
        ASSERT_TRUE(WaitForText(dir.File("sim" + n + ".out"), "\n", 10));
    }
    Runner gang = WineRunner();
    gang.prefix = {gang.prefix[0], TESSAN_WIN_GANG_EXE};
    const std::string a = std::to_string(first), b = std::to_string(first + 1), c = std::to_string(first + 2);
    RunResult r = RunTool(gang, dir.path(), 0, false, {},
                          {"Z:" + Replace(image, "/", "\\"), a, "COM" + b, c, "--report", "report.jsonl"});
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_EQ(Sorted(r.out), "COM" + a + ": Target updated successfully. (S s)\n" +
                                 "COM" + b + ": Error. Error code 7. (S s)\n" +
                                 "COM" + c + ": Target updated successfully. (S s)\n" +
                                 "Updated 2 of 3 boards.\nNot updated: COM" + b + "\n");
    EXPECT_EQ(r.err, "");
    for (size_t k = 0; k < sims.size(); ++k) {
        EXPECT_EQ(StopProcess(sims[k], 2), k == 1 ? 1 : 0) << "board " << k;
    }
    const std::string report = Slurp(dir.File("report.jsonl"));
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 3) << report;
    EXPECT_NE(report.find("{\"port\":\"COM" + b + "\",\"start\":\""), std::string::npos) << report;
    EXPECT_NE(report.find("\"outcome\":\"failed\",\"message\":\"Error. Error code 7.\""), std::string::npos);
    // Each board's greeting; SetupAPI looked up under Wine says nothing of USB.
    size_t tails = 0;
    for (size_t at = 0; (at = report.find(",\"greeting\":\"LOADER v1.0+\",\"usb\":null}\n", at)) != std::string::npos; ++at) {
        ++tails;
    }
    EXPECT_EQ(tails, 3u) << report;

    // Two spellings of one port: refused before anything starts.
    r = RunTool(gang, dir.path(), 0, false, {}, {"Z:" + Replace(image, "/", "\\"), a, "com" + a, "COM" + a});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error: Port COM" + a + " is named twice.\n");
    // The same as an event of the --json stream.
    r = RunTool(gang, dir.path(), 0, false, {}, {"Z:" + Replace(image, "/", "\\"), a, "COM" + a, "--json"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "{\"event\":\"error\",\"message\":\"Error: Port COM" + a + " is named twice.\"}\n");
}

// --json and --serve on Windows: two boards on Wine COM ports; the state and
// the event stream read from Linux while they flash; standard output holds
// the address first and the summary last.
TEST(WineGang, JsonAndTheStationView) {
    REQUIRE_WINE_SESSION();
    if (access(TESSAN_WIN_GANG_EXE, F_OK) != 0) GTEST_SKIP() << "no Windows build at " TESSAN_WIN_GANG_EXE;
    const int first = kFirstCom + static_cast<int>(AllCases().size()) + 4;
    TempDir dir;
    std::vector<pid_t> sims;
    for (const std::string n : {"0", "1"}) {
        sims.push_back(StartProcess({SimPath(), WinePrefix() + "/dosdevices/com" + std::to_string(first + std::stoi(n)),
                                     "--line-rate", "--timeout", "60"},
                                    dir.path(), dir.File("sim" + n + ".out"), dir.File("sim" + n + ".err")));
        ASSERT_TRUE(WaitForText(dir.File("sim" + n + ".out"), "\n", 10));
    }
    Runner gang = WineRunner();
    gang.prefix = {gang.prefix[0], TESSAN_WIN_GANG_EXE};
    const std::string a = "COM" + std::to_string(first), b = "COM" + std::to_string(first + 1);
    RunResult r;
    std::thread run([&] {
        r = RunTool(gang, dir.path(), 0, false, {},
                    {"Z:" + Replace(TESSAN_SOURCE_DIR "/examples/large.txt", "/", "\\"), a, b, "--json", "--serve", "0"});
    });
    const std::string lead = "{\"event\":\"serving\",\"url\":\"http://127.0.0.1:";
    const bool serving = WaitForText(dir.File("tool.out"), "/\"}", 30);
    const int port = Slurp(dir.File("tool.out")).compare(0, lead.size(), lead) == 0
                         ? atoi(Slurp(dir.File("tool.out")).c_str() + lead.size()) : 0;
    std::string stream, state;
    if (serving && port > 0) {
        std::thread reader([&] { stream = Get(port, "/api/events"); });
        state = BodyOf(Get(port, "/api/state"));
        reader.join();
    }
    run.join();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(state.compare(0, 25, "{\"image\":\"large.txt\",\"ima"), 0) << state;
    EXPECT_TRUE(Count(state, "\"port\":\"" + a + "\"") == 1 && Count(state, "\"port\":\"" + b + "\"") == 1) << state;
    const std::vector<std::string> events = EventData(stream);
    const std::string summary = "{\"event\":\"summary\",\"updated\":2,\"boards\":2,\"not_updated\":[]}";
    ASSERT_FALSE(events.empty()) << stream;
    EXPECT_EQ(events.front().compare(0, 17, "{\"event\":\"state\","), 0) << events.front();
    EXPECT_EQ(events.back(), summary);
    EXPECT_EQ(Count(stream, "data: {\"event\":\"end\",\"board\":"), 2u) << stream;
    const std::string address = lead + std::to_string(port) + "/\"}\n";
    EXPECT_EQ(r.out.compare(0, address.size(), address), 0) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - summary.size() - 1), summary + "\n");
    for (pid_t sim : sims) EXPECT_EQ(StopProcess(sim, 2), 0);
}
