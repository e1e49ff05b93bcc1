// tessan-gang's pure parts: the reading of tessan's output, the argument
// scan, the station's rules, the report's line, SHA-256, and its texts.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "common/PortNames.h"
#include "gang/GangArgs.h"
#include "gang/GangText.h"
#include "gang/Report.h"
#include "gang/Sha256.h"
#include "gang/State.h"
#include "gang/Station.h"
#include "gang/ToolOutput.h"

namespace {

const char kHead[] =
    "tessan v1.0 - (c) 2026 The tessan developers\n\n/tmp/p opened.\n4F 4B 0D 0A 4: OK\n/tmp/p closed.\n";
const char kGreeting[] = "/tmp/p opened.\n4C 4F 41 44 45 52 20 76 31 2E 30 2B 12: LOADER v1.0+";
const char kPause[] = "Press any key to continue . . . \n";

// The states shown while `log` arrives one byte at a time, each once; and
// the phases entered on the way.
std::vector<std::string> StatesSeen(const std::string& log, const std::string& port = "",
                                    std::vector<Phase>* phases = nullptr) {
    ToolOutput output(port);
    std::vector<std::string> seen;
    for (char c : log) {
        const Phase before = output.state().phase;
        if (output.Feed(&c, 1)) seen.push_back(PhaseText(output.state()));
        if (phases != nullptr && output.state().phase != before) phases->push_back(output.state().phase);
    }
    return seen;
}

}  // namespace

// Real logs of tessan (its output to a pipe), as the gang reads them.
TEST(ToolOutput, RealLogsGiveTheBoardsStates) {
    struct Case {
        std::string log;
        std::vector<std::string> states;
        Phase end;
        std::string message;
        std::optional<std::string> greeting;
    };
    const std::string transfer = std::string("\r                        \nTransferring.. - 0% done.") +
                                 "\r                        \nTransferring.. \\ 66% done.";
    const Case cases[] = {
        {std::string(kHead) + kGreeting + transfer + "\rTransferring.. 100% done.  \nTarget updated successfully.\n" + kPause,
         {"trigger", "waiting for the port", "greeting", "greeting", "transferring 0%", "transferring 66%",
          "transferring 100%", "updated"},
         Phase::kUpdated, "Target updated successfully.", "LOADER v1.0+"},
        {std::string(kHead) + ".." + kGreeting + transfer + "\nError. Error code 7.\n" + kPause,
         {"trigger", "waiting for the port", "waiting for the port (1 try)", "waiting for the port (2 tries)",
          "greeting", "greeting", "transferring 0%", "transferring 66%", "Error. Error code 7."},
         Phase::kFailed, "Error. Error code 7.", "LOADER v1.0+"},
        {std::string(kHead) + kGreeting + transfer + "\nFailed: Target is not responding.\n" + kPause,
         {"trigger", "waiting for the port", "greeting", "greeting", "transferring 0%", "transferring 66%",
          "Failed: Target is not responding."},
         Phase::kFailed, "Failed: Target is not responding.", "LOADER v1.0+"},
        // A greeting that holds a line feed, a NUL and what follows it: the
        // bytes count, as far as tessan's %s shows them; a percent that
        // seems to go down stays where it was.
        {std::string(kHead) + "/tmp/p opened.\n41 0D 0A 00 42 2B 6: A\r\n" + transfer +
             "\rTransferring.. | 12% done.\nError. Error code 3.\n" + kPause,
         {"trigger", "waiting for the port", "greeting", "greeting", "transferring 0%", "transferring 66%",
          "Error. Error code 3."},
         Phase::kFailed, "Error. Error code 3.", "A\r\n"},
        // Windows' line ends.
        {"tessan v1.0\r\n\r\n/tmp/p opened.\r\n/tmp/p closed.\r\n/tmp/p opened.\r\n4C 2B 2: L+\r\n"
         "Error. Error code 1.\r\n",
         {"trigger", "waiting for the port", "greeting", "greeting", "Error. Error code 1."}, Phase::kFailed,
         "Error. Error code 1.", "L+"},
        {std::string(kHead) + "/tmp/p opened.\n\nLoader start failed.\n" + kPause,
         {"trigger", "waiting for the port", "greeting", "Loader start failed."}, Phase::kFailed,
         "Loader start failed.", std::nullopt},
        {"tessan v1.0 - (c) 2026 The tessan developers\n\nError: /tmp/p in use or does not exist.\n" + std::string(kPause),
         {"Error: /tmp/p in use or does not exist."}, Phase::kFailed, "Error: /tmp/p in use or does not exist.", std::nullopt},
        // A network port's reason line joins its failure.
        {"tessan v1.0 - (c) 2026 The tessan developers\n\nError: rfc2217://h:1?ca=c.pem in use or does not exist.\n"
         "  The server refused the connection.\n" + std::string(kPause),
         {"Error: rfc2217://h:1?ca=c.pem in use or does not exist.",
          "Error: rfc2217://h:1?ca=c.pem in use or does not exist. The server refused the connection."},
         Phase::kFailed, "Error: rfc2217://h:1?ca=c.pem in use or does not exist. The server refused the connection.", std::nullopt},
        // A target whose answers hold lines that look like tessan's own:
        // they are echoed text, and tessan's last message decides.
        {std::string(kHead) + "/tmp/p opened.\n78 0D 0A 45 72 72 6F 72 3A 20 79 0D 0A 2B 14: x\r\nError: y\r\n+\r                        \n"
         "Transferring.. - 0% done.\rTransferring.. 100% done.  \nTarget updated successfully.\n" + kPause,
         {"trigger", "waiting for the port", "greeting", "greeting", "Error: y", "transferring 0%", "transferring 100%",
          "updated"},
         Phase::kUpdated, "Target updated successfully.", "x\r\nError: y\r\n+"},
        // An answer cut short by the port's vanishing: "closed." ends its line.
        {std::string("tessan v1.0 - (c) 2026 The tessan developers\n\n/tmp/p opened.\n4F 1: O/tmp/p closed.\n...."),
         {"trigger", "waiting for the port", "waiting for the port (1 try)", "waiting for the port (2 tries)",
          "waiting for the port (3 tries)", "waiting for the port (4 tries)"},
         Phase::kWaiting, "", std::nullopt},
        // Killed in the middle: the last state stays, no message.
        {std::string(kHead) + kGreeting + "\r                        \nTransferring.. - 42% done.",
         {"trigger", "waiting for the port", "greeting", "greeting", "transferring 42%"},
         Phase::kTransferring, "", "LOADER v1.0+"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        EXPECT_EQ(StatesSeen(c.log), c.states);
        std::vector<Phase> phases;
        EXPECT_EQ(StatesSeen(c.log, "/tmp/p", &phases), c.states);
        // The same bytes in one piece end the same way, and pass through
        // the same phases.
        ToolOutput whole;
        std::vector<BoardState> passed;
        whole.Feed(c.log.data(), c.log.size(), &passed);
        EXPECT_EQ(whole.state().phase, c.end);
        EXPECT_EQ(whole.state().message, c.message);
        EXPECT_EQ(whole.state().greeting, c.greeting);
        std::vector<Phase> wholePhases;
        for (const BoardState& state : passed) wholePhases.push_back(state.phase);
        EXPECT_EQ(wholePhases, phases);
    }
}

TEST(GangArgs, ScanTakesImagePortsAndOptions) {
    struct Case {
        std::vector<const char*> argv;
        bool ok;
        size_t ports;
    };
    const Case cases[] = {
        {{"fw.txt", "3", "/dev/ttyUSB0", "rfc2217://pi:4000"}, true, 3},
        {{"--timeout", "2.5", "fw.txt", "3", "--logs", "d", "--report", "r.jsonl"}, true, 1},
        {{"fw.txt", "--wait", "/dev/ttyUSB*", "--settle", "0", "--count", "4"}, true, 0},
        {{}, false, 0},
        {{"fw.txt"}, false, 0},                                       // no port
        {{"fw.txt", "3", "--frobnicate", "x"}, false, 1},             // unknown option
        {{"fw.txt", "3", "-x"}, false, 1},
        {{"fw.txt", "3", "--timeout"}, false, 1},                     // no value
        {{"fw.txt", "3", "--timeout", "ten"}, false, 1},              // not a number
        {{"fw.txt", "3", "--timeout", "0"}, false, 1},
        {{"fw.txt", "3", "--timeout", "5s"}, false, 1},
        {{"fw.txt", "--wait", "COM*", "--count", "0"}, false, 0},
        {{"fw.txt", "--wait", "COM*", "--count", "2.5"}, false, 0},
        {{"fw.txt", "3", "--wait", "COM*"}, false, 1},                // ports and --wait
        {{"fw.txt", "3", "--settle", "2"}, false, 1},                 // station option alone
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = c.argv;
        argv.insert(argv.begin(), "tessan-gang");
        GangArgs args;
        std::string shown;
        for (const char* a : c.argv) shown += std::string(a) + " ";
        EXPECT_EQ(ScanGangArgs(static_cast<int>(argv.size()), argv.data(), &args), c.ok) << shown;
        if (c.ok) {
            EXPECT_EQ(args.image, "fw.txt") << shown;
            EXPECT_EQ(args.ports.size(), c.ports) << shown;
        }
    }
    const char* argv[] = {"tessan-gang", "fw.txt", "--wait", "/dev/ttyUSB*", "--settle", "0.5", "--count", "12"};
    GangArgs args;
    ASSERT_TRUE(ScanGangArgs(8, argv, &args));
    EXPECT_EQ(args.wait, "/dev/ttyUSB*");
    EXPECT_DOUBLE_EQ(args.settle, 0.5);
    EXPECT_EQ(args.count, 12);
    EXPECT_DOUBLE_EQ(args.timeout, 300);
    const char* help[] = {"tessan-gang", "--help", "--frobnicate"};
    EXPECT_TRUE(ScanGangArgs(3, help, &args) && args.help);

    // --serve's address: host and port, or nothing taken.
    struct Serve {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Serve serves[] = {
        {"8080", true, "127.0.0.1", 8080}, {"0", true, "127.0.0.1", 0}, {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"station.local:65535", true, "station.local", 65535}, {"[::1]:8080", true, "::1", 8080},
        {"65536", false, "", 0}, {"", false, "", 0}, {":8080", false, "", 0}, {"host:", false, "", 0},
        {"::1:8080", false, "", 0}, {"[::1]8080", false, "", 0}, {"8080x", false, "", 0}, {"-1", false, "", 0},
    };
    for (const Serve& c : serves) {
        std::string host = "unchanged";
        int port = -7;
        EXPECT_EQ(ScanServeAddress(c.text, &host, &port), c.ok) << c.text;
        EXPECT_EQ(host, c.ok ? c.host : "unchanged") << c.text;
        EXPECT_EQ(port, c.ok ? c.port : -7) << c.text;
    }
    const char* served[] = {"tessan-gang", "fw.txt", "3", "--serve", "[::1]:0"};
    ASSERT_TRUE(ScanGangArgs(5, served, &args));
    EXPECT_EQ(args.serveHost, "::1");
    EXPECT_EQ(args.servePort, 0);
    EXPECT_TRUE(ScanGangArgs(3, served, &args) && args.servePort == -1);  // not asked: nothing served
    served[4] = "99999";
    EXPECT_FALSE(ScanGangArgs(5, served, &args));
}

// A station's day, step by step: what the watcher sees, what ends, and the
// flashes that must start.
TEST(Station, FlashesEachNewBoardOnceAndIgnoresItsResets) {
    struct Step {
        double t;
        std::vector<std::string> present;  // a look at the ports
        std::string ended;                 // or: this port's flash ended
        std::vector<std::string> starts;
    };
    const Step steps[] = {
        {0.0, {"A", "B"}, "", {"A", "B"}},  // present at the start: at once
        {0.2, {"A", "B"}, "", {}},
        {0.4, {"B"}, "", {}},               // A resets during its flash
        {1.0, {"A", "B", "C"}, "", {"C"}},  // A back: its own flash; C is new
        {5.0, {"A", "B", "C"}, "A", {}},
        {5.2, {"A", "B", "C"}, "", {}},     // A still there after its flash: the same board
        {5.4, {"B", "C"}, "", {}},          // A restarts...
        {6.0, {"A", "B", "C"}, "", {}},     // ...and is back within the settle time
        {7.0, {"B", "C"}, "", {}},          // A unplugged
        {9.9, {"B", "C"}, "", {}},
        {10.1, {"A", "B", "C"}, "", {"A"}}, // back after 3.1 s: a new board
        {11.0, {"A", "C"}, "B", {}},        // B ended while gone (its restart)
        {12.0, {"A", "B", "C"}, "", {}},    // back after 1 s: the same board
        {13.0, {"A", "C"}, "", {}},
        {16.5, {"A", "B", "C"}, "", {"B"}},
    };
    Station station(3);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.t);
        if (!s.ended.empty()) station.FlashEnded(s.ended, s.t);
        EXPECT_EQ(station.Look(s.present, s.t), s.starts);
    }
    EXPECT_TRUE(station.Flashing("A"));
    EXPECT_TRUE(station.Flashing("C"));
}

TEST(Report, LineTimesAndEscapes) {
    EXPECT_EQ(IsoUtc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtc(951782400999), "2000-02-29T00:00:00Z");
    EXPECT_EQ(IsoUtc(1796789928000), "2026-12-09T04:18:48Z");
    EXPECT_EQ(IsoUtc(4107542399000), "2100-02-28T23:59:59Z");
    EXPECT_EQ(JsonString("a\"b\\c\n\r\t\x01\x7f"), "\"a\\\"b\\\\c\\n\\r\\t\\u0001\\u007f\"");
    EXPECT_EQ(JsonString("caf\xc3\xa9 \xff\xc3"), "\"caf\xc3\xa9 \\ufffd\\ufffd\"");
    const ReportRecord record = {"rfc2217://pi:4000", 1796789928000, 1796789934250, 6.25, "timed out",
                                 "Timed out after 5 s (waiting for the port).", "ab12", "1.2", std::nullopt,
                                 std::nullopt};
    EXPECT_EQ(ReportLine(record),
              "{\"port\":\"rfc2217://pi:4000\",\"start\":\"2026-12-09T04:18:48Z\",\"end\":\"2026-12-09T04:18:54Z\","
              "\"seconds\":6.250,\"outcome\":\"timed out\",\"message\":\"Timed out after 5 s (waiting for the "
              "port).\",\"image_sha256\":\"ab12\",\"tool_version\":\"1.2\",\"greeting\":null,\"usb\":null}\n");
}

// Against sha256sum itself, on lengths around the padding's edges.
TEST(Sha256, AgreesWithSha256sum) {
    TempDir dir;
    for (size_t length : {0, 1, 3, 55, 56, 63, 64, 65, 119, 120, 1000, 131073}) {
        std::string data;
        for (size_t i = 0; i < length; ++i) data += static_cast<char>((i * 131 + length) & 0xFF);
        const std::string path = dir.Write("data", data);
        FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char digest[65] = {};
        ASSERT_EQ(fread(digest, 1, 64, pipe), 64u);
        pclose(pipe);
        EXPECT_EQ(Sha256OfFile(path.c_str()), digest) << length;
        Sha256 pieces;  // the same bytes added in uneven pieces
        for (size_t at = 0; at < length; at += 7) pieces.Add(data.data() + at, length - at < 7 ? length - at : 7);
        EXPECT_EQ(pieces.HexDigest(), digest) << length;
    }
    EXPECT_EQ(Sha256OfFile("/nonexistent/file"), "");
}

TEST(GangText, LinesSummaryAndLogNames) {
    EXPECT_EQ(EndLine("/dev/ttyUSB0", "Error. Error code 7.", 3.04), "/dev/ttyUSB0: Error. Error code 7. (3.0 s)\n");
    EXPECT_EQ(Summary(7, 8, {"COM3"}), "Updated 7 of 8 boards.\nNot updated: COM3\n");
    EXPECT_EQ(Summary(1, 1, {}), "Updated 1 of 1 board.\n");
    EXPECT_EQ(LogFileName("/dev/serial/by-id/usb-FTDI:1", 0), "dev_serial_by-id_usb-FTDI_1.log");
    EXPECT_EQ(LogFileName("rfc2217://pi:4000", 3), "rfc2217_pi_4000-3.log");
    EXPECT_EQ(LogFileName("\\\\.\\COM12", 0), "COM12.log");
    // A URL's query is no part of the port's name; a device path's '?' is.
    EXPECT_EQ(LengthWithoutQuery("rfc2217+tls://h:1?ca=a&name=b"), 17u);
    EXPECT_EQ(LengthWithoutQuery("socket://h:1"), 12u);
    EXPECT_EQ(LengthWithoutQuery("/dev/odd?name"), 13u);
    const std::vector<std::string> lines =
        TableLines({{"COM3", "transferring 42%", 12.7}, {"/dev/ttyUSB10", "waiting for the port", 3}}, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "COM3           transferring 42%           12 s");
    EXPECT_EQ(lines[1], "/dev/ttyUSB10  waiting for the port        3 s");
    EXPECT_EQ(TableLines({{"COM3", "updated", 1}}, 10)[0], "COM3  upda");
    const std::vector<std::string> rows = {"1", "2", "3", "4", "5", "count"};
    EXPECT_EQ(FitLines(rows, 6, 1), rows);
    EXPECT_EQ(FitLines(rows, 4, 1), (std::vector<std::string>{"1", "2", "... and 3 more boards.", "count"}));
    EXPECT_EQ(FitLines(rows, 5, 0), (std::vector<std::string>{"1", "2", "3", "4", "... and 2 more boards."}));
}

// One state, every view of it: the events, the state object, the table's
// rows, the end line and the summary.
TEST(State, EveryViewComesFromTheOneState) {
    GangState state;
    state.image = "fw.txt", state.sha = "ab12", state.version = "1.3", state.station = true;
    state.startedMs = 1796789928000;
    for (const char* port : {"/dev/ttyUSB1", "/dev/ttyUSB0", "/dev/ttyUSB1"}) {
        BoardInfo board;
        board.number = static_cast<int>(state.boards.size()) + 1;
        board.port = port, board.startAt = 10, board.startMs = 1796789928000, board.running = true;
        state.boards.push_back(board);
        TakeSlot(&state, state.boards.size() - 1);
    }
    // Board 1 failed; board 2 (USB0) was updated; board 3 took USB1's slot.
    BoardInfo &first = state.boards[0], &second = state.boards[1], &third = state.boards[2];
    first.outcome = "failed", first.message = "Error. Error code 7.", first.seconds = 4.04;
    first.endMs = 1796789932000;
    CountEnded(&state, 0);
    second.usb = UsbInfo{"0403", "6001", "A1\"B2", std::nullopt, std::nullopt, "1-1.3"};
    second.tool.greeting = "LOADER v1.0+";
    second.outcome = "updated", second.message = "Target updated successfully.", second.seconds = 31.25;
    second.endMs = 1796789959000;
    CountEnded(&state, 1);
    third.tool.phase = Phase::kTransferring;
    third.tool.percent = 100;  // tessan's last progress line, before its message
    EXPECT_EQ(state.slots, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(StartEvent(third), "{\"event\":\"start\",\"board\":3,\"port\":\"/dev/ttyUSB1\","
                                 "\"time\":\"2026-12-09T04:18:48Z\",\"usb\":null}");
    EXPECT_EQ(PhaseKey(third), "transferring 99");
    EXPECT_EQ(PhaseEvent(third), "{\"event\":\"phase\",\"board\":3,\"port\":\"/dev/ttyUSB1\","
                                 "\"phase\":\"transferring\",\"percent\":99}");
    third.tool.phase = Phase::kWaiting;
    third.tool.dots = 3;  // the tries show in the table, not in the events
    EXPECT_EQ(PhaseEvent(third), "{\"event\":\"phase\",\"board\":3,\"port\":\"/dev/ttyUSB1\","
                                 "\"phase\":\"waiting for the port\"}");
    EXPECT_EQ(PhaseKey(second), "");
    const std::string usbJson = "{\"vid\":\"0403\",\"pid\":\"6001\",\"serial\":\"A1\\\"B2\",\"manufacturer\":null,"
                                "\"product\":null,\"location\":\"1-1.3\"}";
    EXPECT_EQ(EndEvent(state, second),
              "{\"event\":\"end\",\"board\":2,\"port\":\"/dev/ttyUSB0\",\"start\":\"2026-12-09T04:18:48Z\","
              "\"end\":\"2026-12-09T04:19:19Z\",\"seconds\":31.250,\"outcome\":\"updated\",\"message\":\"Target "
              "updated successfully.\",\"image_sha256\":\"ab12\",\"tool_version\":\"1.3\",\"greeting\":\"LOADER "
              "v1.0+\",\"usb\":" + usbJson + "}");
    EXPECT_EQ(ReportLine(RecordOf(state, second)), EndEvent(state, second).replace(0, 25, "{") + "\n");
    EXPECT_EQ(SummaryEvent(state), "{\"event\":\"summary\",\"updated\":1,\"boards\":2,"
                                   "\"not_updated\":[\"/dev/ttyUSB1\",\"/dev/ttyUSB1\"]}");
    EXPECT_EQ(ErrorEvent("Error: Port 3 is named twice.\n"),
              "{\"event\":\"error\",\"message\":\"Error: Port 3 is named twice.\"}");
    EXPECT_EQ(StateJson(state, 12.34),
              "{\"image\":\"fw.txt\",\"image_sha256\":\"ab12\",\"station\":true,\"ended\":false,\"updated\":1,"
              "\"failed\":1,\"boards\":[{\"board\":2,\"port\":\"/dev/ttyUSB0\",\"usb\":" + usbJson +
              ",\"phase\":\"ended\",\"percent\":100,\"seconds\":31.2,\"outcome\":\"updated\",\"message\":\"Target "
              "updated successfully.\"},{\"board\":3,\"port\":\"/dev/ttyUSB1\",\"usb\":null,\"phase\":\"waiting for "
              "the port\",\"percent\":0,\"seconds\":2.3,\"outcome\":null,\"message\":null}],"
              "\"started\":\"2026-12-09T04:18:48Z\",\"recent\":[{\"board\":2,\"port\":\"/dev/ttyUSB0\",\"serial\":"
              "\"A1\\\"B2\",\"outcome\":\"updated\",\"message\":\"Target updated successfully.\",\"seconds\":31.2,"
              "\"end\":\"2026-12-09T04:19:19Z\"},{\"board\":1,\"port\":\"/dev/ttyUSB1\",\"serial\":null,"
              "\"outcome\":\"failed\",\"message\":\"Error. Error code 7.\",\"seconds\":4.0,"
              "\"end\":\"2026-12-09T04:18:52Z\"}]}");
    const std::vector<TableRow> rows = TableRows(state, 12.5);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].port, "/dev/ttyUSB0 (A1\"B2)");
    EXPECT_EQ(rows[0].doing, "updated");
    EXPECT_EQ(rows[1].doing, "waiting for the port (3 tries)");
    EXPECT_DOUBLE_EQ(rows[1].seconds, 2.5);
    EXPECT_EQ(BoardEndLine(state, first), "/dev/ttyUSB1: Error. Error code 7. (4.0 s) Updated 1, failed 1.\n");
    EXPECT_EQ(SummaryText(state), "Updated 1 of 2 boards.\nNot updated: /dev/ttyUSB1 /dev/ttyUSB1\n");
}
