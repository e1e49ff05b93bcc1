// Runs one end-to-end case and checks output, status, timing and wire.
#include "CaseCheck.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "../TempDir.h"

void RunCase(const Runner& runner, const E2ECase& c, int slot) {
    if (runner.windowsBuild && !c.wineSkip.empty()) GTEST_SKIP() << c.wineSkip;
    if ((runner.rawNetwork || runner.tlsNetwork || runner.openBeforeNegotiation) && !c.socketSkip.empty()) GTEST_SKIP() << c.socketSkip;
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    if (c.writeImage) dir.Write("fw.txt", c.image);

    RunResult r = RunTool(runner, dir.path(), slot, c.withSim, c.simArgs, c.toolArgs);
    if (c.withSim) {
        ASSERT_TRUE(r.simStarted) << "tessan-sim did not publish its port";
        if (runner.startServer) {
            ASSERT_TRUE(r.serverStarted) << "the " << runner.label << " server did not start";
        }
    }

    const std::string expected = FillPlaceholders(c.expected, runner.portName(dir.path(), slot), runner.pause);
    EXPECT_FALSE(r.timedOut) << "the tool hung";
    // The sim's log times every open, close and byte: what a flaky
    // mismatch needs to be understood.
    EXPECT_EQ(MatchOutput(expected, r.out), "") << "the sim's log:\n" << r.simLog;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "") << "nothing may go to standard error";
    EXPECT_LE(r.seconds, c.maxSeconds);
    EXPECT_GE(r.seconds, c.minSeconds);
    if (c.withSim) {
        if (c.receivedIsPrefix) {
            EXPECT_EQ(r.received.compare(0, c.received.size(), c.received), 0) << "target received wrong bytes";
        } else {
            EXPECT_TRUE(r.received == c.received)
                << "target received " << r.received.size() << " bytes, expected " << c.received.size();
        }
        // A sanitizer report or any other complaint of the sim's fails the case.
        std::ifstream simErr(dir.File("sim.err"), std::ios::binary);
        std::string simErrText((std::istreambuf_iterator<char>(simErr)), std::istreambuf_iterator<char>());
        EXPECT_EQ(simErrText, "") << "tessan-sim wrote to standard error";
        if (c.nothingReceived) {
            // "TIME rx N HEX": the bytes of connection N, HEX absent for none.
            std::istringstream lines(r.simLog);
            std::string line, time, word, hex;
            while (std::getline(lines, line)) {
                std::istringstream words(line);
                if (words >> time >> word && word == "rx" && words >> word && words >> hex) {
                    ADD_FAILURE() << "the target received " << hex.size() / 2 << " bytes: " << line;
                }
            }
        }
        if (c.opens >= 0) {
            EXPECT_EQ(OpensSeen(r.simLog), c.opens) << r.simLog;
        }
        // A successful run must be one the target saw as complete and correct.
        if (c.status == 0) {
            EXPECT_EQ(r.simStatus, 0) << r.simLog;
        }
    }
}
