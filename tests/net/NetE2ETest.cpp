// Every end-to-end case again with the native build, its port reached
// through a serial server: ser2net over rfc2217://, over socket:// and over
// rfc2217+tls:// (TLS accepters that demand a client certificate), and
// sredird over rfc2217://; and a transfer over socket+tls://. Both servers
// open the device for each connection, so the target's reset goes through
// them as it would locally.
#include <gtest/gtest.h>

#include "../e2e/CaseCheck.h"
#include "../e2e/Cases.h"
#include "NetRunner.h"
#include "OtherServers.h"
#include "Ser2net.h"

namespace {

enum Server { kSer2netRfc2217, kSer2netSocket, kSredird, kSer2netRfc2217Tls };
const char* const kServerNames[] = {"Rfc2217_", "Socket_", "Sredird_", "Rfc2217Tls_"};

const Runner& NativeOver(int server) {
    static const Runner runners[] = {OverNetwork(NativeRunner(), true), OverNetwork(NativeRunner(), false),
                                     OverSredird(NativeRunner()), OverTlsNetwork(NativeRunner(), true)};
    return runners[server];
}

class NetE2E : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

}  // namespace

TEST_P(NetE2E, Run) {
    const int server = std::get<0>(GetParam());
    if (server == kSredird) {
        REQUIRE_OTHER_SERVERS();
    } else if (server == kSer2netRfc2217Tls) {
        REQUIRE_SER2NET_TLS();
    } else {
        REQUIRE_SER2NET();
    }
    const size_t index = std::get<1>(GetParam());
    RunCase(NativeOver(server), AllCases()[index], static_cast<int>(index));
}

INSTANTIATE_TEST_SUITE_P(Case, NetE2E,
                         ::testing::Combine(::testing::Values(kSer2netRfc2217, kSer2netSocket, kSredird, kSer2netRfc2217Tls),
                                            ::testing::Range<size_t>(0, AllCases().size())),
                         [](const ::testing::TestParamInfo<std::tuple<int, size_t>>& info) {
                             return std::string(kServerNames[std::get<0>(info.param)]) +
                                    AllCases()[std::get<1>(info.param)].name;
                         });

// The largest record, every byte value in it, through ser2net's raw TLS
// accepter.
TEST(NetE2ETls, SocketTlsTransfer) {
    REQUIRE_SER2NET_TLS();
    for (const E2ECase& c : AllCases()) {
        if (c.name == "LargestRecord") return RunCase(OverTlsNetwork(NativeRunner(), false), c, 0);
    }
    FAIL() << "no case LargestRecord in the shared list";
}
