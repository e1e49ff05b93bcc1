// tessan against tessan-sim pacing the line as a 115,200-baud 8N1 link:
// the sim's log must never show a status sooner than the wire allows, since
// the benchmark's efficiency figures are computed from those times.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../TempDir.h"
#include "Harness.h"

namespace {

// Wire time of `bytes` bytes at ten bits a byte, in microseconds.
double WireUs(size_t bytes) { return static_cast<double>(bytes) * 1e6 / 11520.0; }

struct Logged {
    long long firstRecordStart = -1;
    long long lastStatus = -1;
    std::vector<long long> statusAt;  // time of each "record K len L status C" line
    std::vector<size_t> length;
};

Logged ParseLog(const std::string& log) {
    Logged out;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        long long at = 0;
        std::string event;
        words >> at >> event;
        if (event == "first-record-start") out.firstRecordStart = at;
        if (event == "last-status") out.lastStatus = at;
        if (event == "record") {
            unsigned long long k = 0, len = 0;
            std::string lenWord;
            words >> k >> lenWord >> len;
            out.statusAt.push_back(at);
            out.length.push_back(static_cast<size_t>(len));
        }
    }
    return out;
}

}  // namespace

TEST(LineRate, NoStatusComesSoonerThanItsRecordAndItselfTakeOnTheWire) {
    // Short records, where one byte's time more or less is a sixth of the
    // record's, with a few longer ones between them.
    const unsigned char kBlocks[] = {0, 1, 0, 16};
    std::string image, text;
    for (int i = 0; i < 120; ++i) {
        unsigned char n = kBlocks[i % 4];
        size_t length = 16u * n + 5u;
        image += static_cast<char>(n);
        for (size_t b = 1; b < length; ++b) image += static_cast<char>((i * 31 + b * 7) & 0xff);
    }
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < image.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(image[i]);
        text += kHex[b >> 4];
        text += kHex[b & 15];
        text += (i % 16 == 15) ? '\n' : ' ';
    }
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    dir.Write("fw.txt", text);

    RunResult r = RunTool(NativeRunner(), dir.path(), 0, true, {"--line-rate"}, {"fw.txt", "-COM", "{PORT}"});
    ASSERT_TRUE(r.simStarted);
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(r.simStatus, 0) << r.simLog;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.received == image);

    Logged log = ParseLog(r.simLog);
    ASSERT_EQ(log.statusAt.size(), 120u);
    ASSERT_GE(log.firstRecordStart, 0);
    EXPECT_EQ(log.lastStatus, log.statusAt.back());
    // A record starts on the wire no sooner than the status before it was
    // sent (the first one at first-record-start); its status can only be
    // sent once the record's bytes and then the status byte itself have had
    // their wire time. The log counts whole microseconds: one of slack.
    long long start = log.firstRecordStart;
    for (size_t k = 0; k < log.statusAt.size(); ++k) {
        double least = WireUs(log.length[k] + 1) - 1;
        EXPECT_GE(static_cast<double>(log.statusAt[k] - start), least)
            << "record " << k + 1 << " of " << log.length[k] << " bytes";
        start = log.statusAt[k];
    }
}
