// The station's views of tessan-gang: its table in a real terminal, and
// the station view it serves over HTTP (the API under idle and stalled
// viewers, the page in headless chromium).
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "GangHarness.h"
#include "Http.h"
#include "TempDir.h"
#include "e2e/Harness.h"
#include "e2e/Tmux.h"

namespace {

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

    // Whether `line` is board n's row: its port, blanks, what it does
    // ("transferring" takes its percent), blanks, its seconds.
    const auto isRow = [&dir](const std::string& line, int n, const std::string& doing) {
        const std::string port = B(n, dir);
        size_t at = port.size();
        if (line.compare(0, at, port) != 0 || line.compare(at, 2, "  ") != 0) return false;
        at = line.find_first_not_of(' ', at);
        if (at == std::string::npos || line.compare(at, doing.size(), doing) != 0) return false;
        at += doing.size();
        if (doing == "transferring") {
            const size_t digits = line.find_first_not_of("0123456789", at + 1);
            if (line[at] != ' ' || digits == at + 1 || digits == std::string::npos || line[digits] != '%') return false;
            at = digits + 1;
        }
        const size_t seconds = line.find_first_not_of(' ', at);
        return seconds > at + 1 && seconds != std::string::npos && line.size() > seconds + 2 &&
               line.compare(line.size() - 2, 2, " s") == 0 &&
               line.find_first_not_of("0123456789", seconds) == line.size() - 2;
    };
    const auto screenLines = [](const std::string& screen) {
        std::vector<std::string> lines;
        std::istringstream in(screen);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    };
    bool seen = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!seen && std::chrono::steady_clock::now() < end) {
        const std::vector<std::string> lines = screenLines(tmux.Screen());
        for (size_t i = 0; i + 4 <= lines.size() && !seen; ++i) {
            seen = isRow(lines[i], 1, "transferring") && isRow(lines[i + 1], 2, "transferring") &&
                   isRow(lines[i + 2], 3, "transferring") && isRow(lines[i + 3], 4, "transferring");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(seen) << tmux.Screen();

    std::string screen;
    while (std::chrono::steady_clock::now() < end && screen.find("status ") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        screen = tmux.Screen();
    }
    // The whole screen: the last table, the summary, the status, and the
    // shell's prompt ("$" or "#") at most.
    const std::vector<std::string> lines = screenLines(screen);
    ASSERT_TRUE(lines.size() == 6 || (lines.size() == 7 && (lines[6] == "$" || lines[6] == "#"))) << screen;
    for (int n = 1; n <= 4; ++n) EXPECT_TRUE(isRow(lines[n - 1], n, "updated")) << lines[n - 1];
    EXPECT_EQ(lines[4], "Updated 4 of 4 boards.");
    EXPECT_EQ(lines[5], "status 0");
    for (Sim& sim : sims) EXPECT_EQ(StopProcess(sim.pid, 2), 0);
}

// The station view: tessan-gang with --serve 0 and `extra`, one sim a board
// (large image, line rate, each sim's extra options); returns the served
// port, 0 when the gang did not say where it serves.
int StartServed(const std::string& dir, const std::vector<std::vector<std::string>>& boards,
                const std::vector<std::string>& extra, std::vector<Sim>* sims, pid_t* gang) {
    std::vector<std::string> argv = {TESSAN_GANG_PATH, kLarge, "--serve", "0"};
    for (size_t n = 1; n <= boards.size(); ++n) {
        std::vector<std::string> options = {"--line-rate"};
        options.insert(options.end(), boards[n - 1].begin(), boards[n - 1].end());
        sims->push_back(StartSim(dir, B(static_cast<int>(n), dir), options, std::to_string(n)));
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    *gang = StartProcess(argv, dir, dir + "/gang.out", dir + "/gang.err");
    const std::string lead = "Serving the station view on http://127.0.0.1:";
    const bool said = WaitForText(dir + "/gang.out", "/\n", 10);
    const std::string out = Slurp(dir + "/gang.out");
    return said && out.compare(0, lead.size(), lead) == 0 ? atoi(out.c_str() + lead.size()) : 0;
}

// 4 boards while 50 connections that send nothing, an event stream never
// read and one left mid-stream hang on: every board is updated, every report
// line written, and a steady reader of the event stream gets the state, each
// board's end (the report's line) and the summary last. The API refuses what
// it does not serve.
TEST(GangView, ApiUnderIdleAndStalledViewers) {
    TempDir tmp;
    const std::string dir = tmp.path();
    std::vector<Sim> sims;
    pid_t gang = -1;
    const int port = StartServed(dir, {{}, {}, {}, {}}, {"--report", dir + "/report.jsonl", B(1, dir), B(2, dir),
                                                        B(3, dir), B(4, dir)}, &sims, &gang);
    ASSERT_GT(port, 0) << Slurp(dir + "/gang.out");
    std::string stream;
    std::thread reader([&] { stream = Get(port, "/api/events"); });
    std::vector<int> idle;
    for (int i = 0; i < 50; ++i) idle.push_back(Connect(port));
    const int stalled = Connect(port, 1024), gone = Connect(port);
    const std::string ask = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    char first[64];
    EXPECT_EQ(send(stalled, ask.data(), ask.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ask.size()));
    EXPECT_TRUE(send(gone, ask.data(), ask.size(), MSG_NOSIGNAL) > 0 && recv(gone, first, sizeof first, 0) > 0);
    close(gone);

    // While the boards flash: the page, the state, and what is refused (only
    // the answers' headers read: what the server leaves unread would reset
    // the connection, and the answer with it).
    EXPECT_EQ(StatusLine(Get(port, "/")), "HTTP/1.1 200 OK");
    EXPECT_NE(Get(port, "/app.js").find("new EventSource(\"api/events\")"), std::string::npos);
    const std::string state = BodyOf(Get(port, "/api/state"));
    EXPECT_EQ(state.compare(0, 25, "{\"image\":\"large.txt\",\"ima"), 0) << state;
    EXPECT_NE(state.find("\"station\":false,\"ended\":false,"), std::string::npos) << state;
    std::string headers = "GET /api/state HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 100; ++i) headers += "X-" + std::to_string(i) + ": " + std::string(90, 'a') + "\r\n";
    const std::pair<std::string, std::string> refused[] = {
        {"GET /etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", "404 Not Found"},
        {"POST /api/state HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}", "405 Method Not Allowed"},
        {headers + "\r\n", "431 Request Header Fields Too Large"},
        {"GET /api/state?" + std::string(9216, 'a') + " HTTP/1.1\r\n", "414 URI Too Long"}};
    for (const auto& r : refused) EXPECT_EQ(StatusLine(Exchange(port, r.first, false)), "HTTP/1.1 " + r.second);

    EXPECT_EQ(StopProcess(gang, 60), 0) << Slurp(dir + "/gang.out");
    reader.join();
    for (int fd : idle) close(fd);
    close(stalled);
    EXPECT_EQ(Count(Slurp(dir + "/gang.out"), ": Target updated successfully. ("), 4u) << Slurp(dir + "/gang.out");
    EXPECT_EQ(Slurp(dir + "/gang.err"), "");
    for (Sim& sim : sims) EXPECT_EQ(StopProcess(sim.pid, 2), 0);
    const std::vector<std::string> events = EventData(stream);
    ASSERT_GE(events.size(), 10u) << stream;
    // The boards started before the reader came: the first message has them.
    EXPECT_EQ(events.front().compare(0, 17, "{\"event\":\"state\","), 0) << events.front();
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(Count(events.front(), "\"port\":\"" + B(n, dir) + "\""), 1u);
    EXPECT_EQ(events.back(), "{\"event\":\"summary\",\"updated\":4,\"boards\":4,\"not_updated\":[]}");
    std::istringstream report(Slurp(dir + "/report.jsonl"));
    size_t lines = 0;
    for (std::string line; std::getline(report, line); ++lines) {
        const std::string end = ",\"" + line.substr(2);  // {"event":"end","board":K,"port":...
        EXPECT_EQ(Count(stream, end + "\n"), 1u) << "no end event for " << line;
    }
    EXPECT_EQ(lines, 4u);
    EXPECT_EQ(Count(stream, "data: {\"event\":\"end\",\"board\":"), 4u);
}

// A station of 3 boards, one failing, in headless chromium (station-view.js
// reads the page): each tile's percent while it transfers, then two tiles
// updated and one with the tool's message, the counts and the last results,
// which /api/state agrees with; once the gang is stopped the page says so.
// The last page is kept as station.png beside the test's output.
TEST(GangView, BrowserShowsEachTileAndTheEnd) {
    if (access(TESSAN_NODE, X_OK) != 0 || access("/usr/bin/chromium", X_OK) != 0) {
        GTEST_SKIP() << "node or chromium is not installed";
    }
    TempDir tmp;
    const std::string dir = tmp.path();
    std::vector<Sim> sims;
    pid_t gang = -1;
    const int port = StartServed(dir, {{}, {}, {"--status", "6:7"}},  // about halfway
                                 {"--wait", dir + "/b*", "--settle", "0.5"}, &sims, &gang);
    ASSERT_GT(port, 0) << Slurp(dir + "/gang.out");
    setenv("NODE_PATH", TESSAN_NPM_DIR "/node_modules", 1);
    const pid_t browser = StartProcess({TESSAN_NODE, TESSAN_SOURCE_DIR "/tests/gang/station-view.js",
                                        "http://127.0.0.1:" + std::to_string(port) + "/", dir + "/profile",
                                        TESSAN_STATION_SHOT, B(3, dir), "Error. Error code 7."},
                                       dir, dir + "/view.out", dir + "/view.err");
    EXPECT_TRUE(WaitForText(dir + "/view.out", "ended\n", 90)) << Slurp(dir + "/view.out") << Slurp(dir + "/view.err");
    const std::string state = BodyOf(Get(port, "/api/state"));
    EXPECT_NE(state.find("\"station\":true,\"ended\":false,\"updated\":2,\"failed\":1,"), std::string::npos) << state;
    EXPECT_EQ(Count(state, "\"message\":\"Error. Error code 7.\""), 2u) << state;  // its tile and the last results
    EXPECT_EQ(Count(state, "\"end\":\""), 3u) << state;
    kill(-gang, SIGINT);
    EXPECT_EQ(StopProcess(gang, 20), 255);
    EXPECT_EQ(StopProcess(browser, 40), 0);
    const std::string view = Slurp(dir + "/view.out");
    EXPECT_TRUE(Count(view, "transferring ") == 3 && Count(view, "\nok\n") == 1) << view << Slurp(dir + "/view.err");
    EXPECT_EQ(Slurp(dir + "/gang.err"), "");
    for (Sim& sim : sims) StopProcess(sim.pid, 2);
    EXPECT_EQ(ProcessesWith(dir).size(), 0u);
}

}  // namespace
