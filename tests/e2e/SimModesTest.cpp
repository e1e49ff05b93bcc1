// tessan-sim's own modes that the virtual-machine tests stand on, tested on
// host pseudo-terminals: the events stream, written as the events happen,
// and the connected line, where the test holds the pty's master and plays the
// tool's side by hand.
#include <chrono>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "../Pty.h"
#include "../TempDir.h"
#include "CaseText.h"
#include "Harness.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Waits until `path` holds `text`; false after `seconds`.
// Reads from `fd` into `got` until it ends in `text`; false after `seconds`.
bool ReadUntil(int fd, const std::string& text, double seconds, std::string* got) {
    const double deadline = Now() + seconds;
    while (got->size() < text.size() || got->compare(got->size() - text.size(), text.size(), text) != 0) {
        const double left = deadline - Now();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) return false;
        char c;
        if (read(fd, &c, 1) != 1) return false;
        *got += c;
    }
    return true;
}

bool Send(int fd, const std::string& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// Starts the sim with `args` after its path and waits until it is ready.
pid_t StartSim(const TempDir& dir, const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {SimPath(), path, "--log", dir.File("sim.log"), "--rx", dir.File("rx.bin"),
                                     "--timeout", "30"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t sim = StartProcess(argv, dir.path(), dir.File("sim.out"), dir.File("sim.err"));
    EXPECT_TRUE(WaitForText(dir.File("sim.out"), "\n", 10)) << "the sim did not get ready";
    return sim;
}

}  // namespace

// While record 2's status is held back, the stream already tells of record 1
// and the log is not written yet; at the end both hold the same lines.
TEST(SimEvents, EachEventIsWrittenAsItHappens) {
    TempDir dir;
    const std::string image = Records({0, 1});
    dir.Write("fw.txt", Hex(image));
    const std::string events = dir.File("events");
    pid_t sim = StartSim(dir, dir.File("port"), {"--events", events, "--late", "2:700"});
    pid_t tool = StartProcess({ToolPath(), "fw.txt", "-COM", dir.File("port")}, dir.path(), dir.File("tool.out"),
                              dir.File("tool.err"));

    EXPECT_TRUE(WaitForText(events, " record 1 len 5 status 0\n", 10)) << Slurp(events);
    EXPECT_EQ(Slurp(events).find("record 2"), std::string::npos) << "record 2 answered 700 ms early?";
    EXPECT_EQ(Slurp(dir.File("sim.log")), "") << "the log is for the end";

    EXPECT_EQ(StopProcess(tool, 15), 0) << Slurp(dir.File("tool.out"));
    EXPECT_EQ(StopProcess(sim, 5), 0);
    EXPECT_NE(Slurp(events).find("result ok\n"), std::string::npos);
    EXPECT_EQ(Slurp(events), Slurp(dir.File("sim.log")));
    EXPECT_EQ(Slurp(dir.File("sim.err")), "");
}

// Connected: stale bytes are discarded, the reply follows the trigger, the
// greeting comes --greet-after later with no close or re-open, records are
// answered, and quiet ends the session.
TEST(SimConnected, GreetsOnItsOwnClockAndEndsWhenTheLineIsQuiet) {
    TempDir dir;
    // The sim attaches to the slave as to a virtual machine's serial port.
    TestPty line;
    ASSERT_TRUE(line.ok());
    const std::string record = Records({1});
    dir.Write("expect.bin", record);
    ASSERT_TRUE(Send(line.master(), "stale"));
    pid_t sim = StartSim(dir, line.slave(),
                         {"--connected", "--greet-after", "400", "--quiet-end", "500", "--expect", dir.File("expect.bin")});

    std::string got;
    const double trigger = Now();
    ASSERT_TRUE(Send(line.master(), "BOOT\r\n"));
    EXPECT_TRUE(ReadUntil(line.master(), "OK\r\n", 5, &got)) << got;
    EXPECT_LT(Now() - trigger, 0.3) << "the reply comes at once";
    EXPECT_TRUE(ReadUntil(line.master(), "LOADER v1.0+", 5, &got)) << got;
    const double greeting = Now() - trigger;
    EXPECT_GE(greeting, 0.35);
    EXPECT_LT(greeting, 1.5);
    EXPECT_EQ(got, "OK\r\nLOADER v1.0+");

    got.clear();
    ASSERT_TRUE(Send(line.master(), record));
    EXPECT_TRUE(ReadUntil(line.master(), std::string(1, '\0'), 5, &got)) << "no status";

    EXPECT_EQ(StopProcess(sim, 5), 0) << "quiet did not end the session";
    const std::string log = Slurp(dir.File("sim.log"));
    EXPECT_NE(log.find(" line 1 " + line.slave() + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" line 2 " + line.slave() + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" quiet 2\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" rx 1 424f4f540d0a\n"), std::string::npos) << "the stale bytes were not discarded: " << log;
    EXPECT_EQ(Slurp(dir.File("rx.bin")), record);
    EXPECT_EQ(Slurp(dir.File("sim.err")), "");
}

// Connected --vanish: the line stays; from half of the record on the target
// answers nothing, takes the rest of that record as its own and marks
// anything after it as unexpected.
TEST(SimConnected, VanishStopsAnsweringButKeepsReading) {
    TempDir dir;
    // The sim attaches to the slave as to a virtual machine's serial port.
    TestPty line;
    ASSERT_TRUE(line.ok());
    const std::string events = dir.File("events");
    pid_t sim = StartSim(dir, line.slave(),
                         {"--connected", "--greet-after", "100", "--quiet-end", "600", "--vanish", "1",
                          "--events", events});
    std::string got;
    ASSERT_TRUE(Send(line.master(), "BOOT\r\n"));
    EXPECT_TRUE(ReadUntil(line.master(), "LOADER v1.0+", 5, &got)) << got;

    const std::string record = Records({2});
    ASSERT_TRUE(Send(line.master(), record.substr(0, record.size() / 2)));
    EXPECT_TRUE(WaitForText(events, " vanish 2\n", 5)) << Slurp(events);
    ASSERT_TRUE(Send(line.master(), record.substr(record.size() / 2) + "XY"));

    EXPECT_EQ(StopProcess(sim, 5), 1);
    got.clear();
    EXPECT_FALSE(ReadUntil(line.master(), "?", 0.2, &got)) << "the target answered after vanishing";
    EXPECT_EQ(got, "");
    const std::string log = Slurp(dir.File("sim.log"));
    EXPECT_NE(log.find(" unexpected 2 5859\n"), std::string::npos) << "only the bytes after the record: " << log;
    EXPECT_EQ(log.find(" unexpected 2 ", log.find(" unexpected 2 5859\n") + 1), std::string::npos) << log;
    EXPECT_NE(log.find("result fail vanished\n"), std::string::npos) << log;
    EXPECT_EQ(Slurp(dir.File("rx.bin")), record + "XY");
    EXPECT_EQ(Slurp(dir.File("sim.err")), "");
}
