// Runs every end-to-end case against the Windows build under Wine, with the
// native tessan-sim as the device, and times the Win32 port's read time-out.
#include <sstream>

#include <gtest/gtest.h>

#include "../TempDir.h"
#include "../e2e/CaseCheck.h"
#include "../e2e/CaseText.h"
#include "../e2e/Cases.h"
#include "WineRunner.h"

namespace {

class WineE2E : public ::testing::TestWithParam<size_t> {};

// The time of the first logged `event` in the sim's log, in microseconds,
// or -1 when it is not there.
long long EventTime(const std::string& simLog, const std::string& event) {
    std::istringstream lines(simLog);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        long long us;
        std::string word;
        if (words >> us >> word && word == event) return us;
    }
    return -1;
}

}  // namespace

TEST_P(WineE2E, Run) {
    REQUIRE_WINE_SESSION();
    const int slot = static_cast<int>(GetParam());
    ASSERT_LE(kFirstCom + slot, kLastCom) << "more cases than COM numbers the prefix keeps free";
    RunCase(WineRunner(), AllCases()[GetParam()], slot);
}

INSTANTIATE_TEST_SUITE_P(Case, WineE2E, ::testing::Range<size_t>(0, AllCases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) { return AllCases()[info.param].name; });

// After the greeting's last byte, the tool's next one-byte read finds the
// line silent and must give up after T * 1 + T = 1000 ms (T = 500 ms); only
// then does the first record go out. The sim's log times both ends.
TEST(WineComPort, SilentOneByteReadEndsAfterAboutASecond) {
    REQUIRE_WINE_SESSION();
    const int slot = static_cast<int>(AllCases().size());  // a COM number no case uses
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    dir.Write("fw.txt", Hex(Records({0})));
    RunResult r = RunTool(WineRunner(), dir.path(), slot, true, {}, {"fw.txt", "-COM", "{PORT}"});
    ASSERT_TRUE(r.simStarted);
    ASSERT_EQ(r.status, 0) << r.out;
    long long greeting = EventTime(r.simLog, "greeting");
    long long record = EventTime(r.simLog, "first-record-start");
    ASSERT_GE(greeting, 0) << r.simLog;
    ASSERT_GE(record, 0) << r.simLog;
    double waited = static_cast<double>(record - greeting) / 1e6;
    EXPECT_GT(waited, 0.95);
    EXPECT_LT(waited, 1.25);
}
