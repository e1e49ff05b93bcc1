// Runs every end-to-end case against the native build.
#include <gtest/gtest.h>

#include "Cases.h"
#include "CaseCheck.h"
#include "Harness.h"

namespace {
class NativeE2E : public ::testing::TestWithParam<size_t> {};
}  // namespace

TEST_P(NativeE2E, Run) { RunCase(NativeRunner(), AllCases()[GetParam()], static_cast<int>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(Case, NativeE2E, ::testing::Range<size_t>(0, AllCases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) { return AllCases()[info.param].name; });
