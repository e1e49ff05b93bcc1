// Every end-to-end case again with the native build, its port reached
// through a serial server: ser2net over rfc2217:// and over socket://, and
// sredird over rfc2217://. Both servers open the device for each
// connection, so the target's reset goes through them as it would locally.
#include <gtest/gtest.h>

#include "../e2e/CaseCheck.h"
#include "../e2e/Cases.h"
#include "NetRunner.h"
#include "OtherServers.h"
#include "Ser2net.h"

namespace {

enum Server { kSer2netRfc2217, kSer2netSocket, kSredird };
const char* const kServerNames[] = {"Rfc2217_", "Socket_", "Sredird_"};

const Runner& NativeOver(int server) {
    static const Runner runners[] = {OverNetwork(NativeRunner(), true), OverNetwork(NativeRunner(), false),
                                     OverSredird(NativeRunner())};
    return runners[server];
}

class NetE2E : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

}  // namespace

TEST_P(NetE2E, Run) {
    const int server = std::get<0>(GetParam());
    if (server == kSredird) {
        REQUIRE_OTHER_SERVERS();
    } else {
        REQUIRE_SER2NET();
    }
    const size_t index = std::get<1>(GetParam());
    RunCase(NativeOver(server), AllCases()[index], static_cast<int>(index));
}

INSTANTIATE_TEST_SUITE_P(Case, NetE2E,
                         ::testing::Combine(::testing::Values(kSer2netRfc2217, kSer2netSocket, kSredird),
                                            ::testing::Range<size_t>(0, AllCases().size())),
                         [](const ::testing::TestParamInfo<std::tuple<int, size_t>>& info) {
                             return std::string(kServerNames[std::get<0>(info.param)]) +
                                    AllCases()[std::get<1>(info.param)].name;
                         });
