// The same transfer through each RFC 2217 server a lab may run: ser2net and
// sredird, which open the device for each connection, and pySerial's
// example server, which keeps it open across connections (its target on a
// line that stays connected). Each answers the line settings its own way;
// the tool must go on as soon as rate and framing are confirmed.
#include "ThreeServers.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "../TempDir.h"
#include "../e2e/CaseText.h"
#include "NetRunner.h"

namespace {

typedef std::chrono::steady_clock Clock;

// 76 records of 261 bytes, 19,836 bytes in all, every other byte 0xFF:
// each must reach the target once, though rfc2217:// doubles it on the way.
std::string ImageWithIacBytes(std::vector<int>* blockCounts) {
    std::string image;
    blockCounts->assign(76, 16);
    for (size_t r = 0; r < blockCounts->size(); ++r) {
        image += static_cast<char>(16);
        for (int i = 0; i < 16 * 16 + 4; ++i) image += static_cast<char>(i % 2 ? 0xFF : (r * 7 + i) & 0xFF);
    }
    return image;
}

// Seconds from the tool's re-open to its first record, read off its output
// as it grows: the re-open starts 500 ms after "closed.", and the first
// progress line comes right before the first record is written.
double ReopenToFirstRecord(const std::string& outFile, const std::atomic<bool>& done) {
    Clock::time_point closed, first;
    bool sawClosed = false;
    while (!done) {
        const std::string out = Slurp(outFile);
        if (!sawClosed && out.find(" closed.") != std::string::npos) {
            closed = Clock::now();
            sawClosed = true;
        }
        if (sawClosed && out.find("Transferring..") != std::string::npos) {
            first = Clock::now();
            return std::chrono::duration<double>(first - closed).count() - 0.5;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
}

}  // namespace

void TransferThroughEachServer(const Runner& base) {
    std::vector<int> counts;
    const std::string image = ImageWithIacBytes(&counts);
    const std::string tail = Progress(counts, counts.size()) + Done();
    const struct {
        const char* server;
        Runner runner;
        std::vector<std::string> simArgs;
    } servers[] = {
        {"ser2net", OverNetwork(base, true), {}},
        {"sredird", OverSredird(base), {}},
        {"pySerial", OverPyserial(base), {"--connected"}},
    };
    for (size_t i = 0; i < 3; ++i) {
        TempDir dir;
        dir.Write("fw.txt", Hex(image));
        std::atomic<bool> done(false);
        double firstRecord = -1;
        std::thread watch([&] { firstRecord = ReopenToFirstRecord(dir.File("tool.out"), done); });
        RunResult r = RunTool(servers[i].runner, dir.path(), 0, true, servers[i].simArgs, {"fw.txt", "-COM", "{PORT}"});
        done = true;
        watch.join();
        const std::string url = servers[i].runner.portName(dir.path(), 0);
        const std::string pause = base.pause;
        std::string expected = FillPlaceholders(Head() + Handshake() + tail, url, pause);
        std::string mismatch = MatchOutput(expected, r.out);
        if (i == 2 && !mismatch.empty()) {
            // pySerial's server can drop the target's first byte after the
            // tool's re-open: a reader of the first connection's, still
            // waiting on the device, takes it (see the server's limits).
            const std::string lessOne = Trigger() + "{PORT} opened.\n" + Echo("OADER v1.0+") + tail;
            mismatch = MatchOutput(FillPlaceholders(Head() + lessOne, url, pause), r.out);
        }
        EXPECT_EQ(mismatch, "") << servers[i].server << "\nthe sim's log:\n" << r.simLog;
        EXPECT_EQ(r.status, 0) << servers[i].server;
        EXPECT_EQ(r.err, "") << servers[i].server;
        EXPECT_TRUE(r.received == image) << servers[i].server << ": the target received " << r.received.size()
                                         << " bytes, not the " << image.size() << " of the image";
        EXPECT_EQ(r.simStatus, 0) << servers[i].server << "\n" << r.simLog;
        printf("%s, %-8s %.2f s in all, %.3f s from the re-open to the first record\n", base.label.c_str(),
               servers[i].server, r.seconds, firstRecord);
    }
}
