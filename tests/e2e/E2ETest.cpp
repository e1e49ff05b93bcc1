// Runs every end-to-end case against the native build.
#include <gtest/gtest.h>

#include "Cases.h"
#include "CaseCheck.h"
#include "Harness.h"
#include "../TempDir.h"

namespace {
class NativeE2E : public ::testing::TestWithParam<size_t> {};
}  // namespace

TEST_P(NativeE2E, Run) { RunCase(NativeRunner(), AllCases()[GetParam()], static_cast<int>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(Case, NativeE2E, ::testing::Range<size_t>(0, AllCases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) { return AllCases()[info.param].name; });

// A launcher that fails silently with status 1 (as Wine now and then does)
// is retried only for runners that say theirs may; the tool itself never
// ends that way, so for the native runner it stays a failure.
TEST(Harness, ASilentLauncherFailureIsRetriedOnlyWhereTheRunnerAllowsIt) {
    Runner flaky = NativeRunner();
    flaky.label = "flaky";
    // Fails the first time it is started in a folder, then runs the tool.
    flaky.prefix = {"/bin/sh", "-c", "if [ ! -e started ]; then : >started; exit 1; fi; exec \"$0\" \"$@\"",
                    ToolPath()};
    for (bool mayFail : {true, false}) {
        flaky.launcherMayFail = mayFail;
        TempDir dir;
        RunResult r = RunTool(flaky, dir.path(), 0, false, {}, {});
        if (mayFail) {
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out.compare(0, 8, "tessan v"), 0) << r.out;
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
        }
    }
}
