// Every end-to-end case again with the native build, its port reached
// through ser2net: once over rfc2217:// and once over socket://.
#include <gtest/gtest.h>

#include "../e2e/CaseCheck.h"
#include "../e2e/Cases.h"
#include "NetRunner.h"
#include "Ser2net.h"

namespace {

class NetE2E : public ::testing::TestWithParam<std::tuple<bool, size_t>> {};

const Runner& NativeOver(bool rfc2217) {
    static const Runner rfc = OverNetwork(NativeRunner(), true);
    static const Runner raw = OverNetwork(NativeRunner(), false);
    return rfc2217 ? rfc : raw;
}

}  // namespace

TEST_P(NetE2E, Run) {
    REQUIRE_SER2NET();
    const bool rfc2217 = std::get<0>(GetParam());
    const size_t index = std::get<1>(GetParam());
    RunCase(NativeOver(rfc2217), AllCases()[index], static_cast<int>(index));
}

INSTANTIATE_TEST_SUITE_P(Case, NetE2E,
                         ::testing::Combine(::testing::Bool(), ::testing::Range<size_t>(0, AllCases().size())),
                         [](const ::testing::TestParamInfo<std::tuple<bool, size_t>>& info) {
                             return std::string(std::get<0>(info.param) ? "Rfc2217_" : "Socket_") +
                                    AllCases()[std::get<1>(info.param)].name;
                         });
