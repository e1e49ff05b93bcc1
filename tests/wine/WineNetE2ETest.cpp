// The end-to-end cases with the Windows build under Wine, its port reached
// through ser2net over rfc2217:// and socket:// (Winsock in Wine, on
// loopback), one transfer through each RFC 2217 server, and the network
// names that cannot be opened.
#include <gtest/gtest.h>

#include "../FakeServer.h"
#include "../TelnetBytes.h"
#include "../e2e/CaseCheck.h"
#include "../e2e/Cases.h"
#include "../net/NetCases.h"
#include "../net/NetRunner.h"
#include "../net/Ser2net.h"
#include "../net/ThreeServers.h"
#include "WineRunner.h"

namespace {

const Runner& WineOver(bool rfc2217) {
    static const Runner rfc = OverNetwork(WineRunner(), true);
    static const Runner raw = OverNetwork(WineRunner(), false);
    return rfc2217 ? rfc : raw;
}

class WineNetE2E : public ::testing::TestWithParam<std::tuple<bool, size_t>> {};
class WineUnopenable : public ::testing::TestWithParam<size_t> {};

}  // namespace

TEST_P(WineNetE2E, Run) {
    REQUIRE_WINE_SESSION();
    REQUIRE_SER2NET();
    const size_t index = std::get<1>(GetParam());
    RunCase(WineOver(std::get<0>(GetParam())), AllCases()[index], static_cast<int>(index));
}

INSTANTIATE_TEST_SUITE_P(Case, WineNetE2E,
                         ::testing::Combine(::testing::Bool(), ::testing::Range<size_t>(0, AllCases().size())),
                         [](const ::testing::TestParamInfo<std::tuple<bool, size_t>>& info) {
                             return std::string(std::get<0>(info.param) ? "Rfc2217_" : "Socket_") +
                                    AllCases()[std::get<1>(info.param)].name;
                         });

TEST_P(WineUnopenable, FailsAtOnce) {
    REQUIRE_WINE_SESSION();
    RunCase(WineRunner(), UnopenableNetworkCases()[GetParam()], 0);
}

INSTANTIATE_TEST_SUITE_P(Name, WineUnopenable, ::testing::Range<size_t>(0, UnopenableNetworkCases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return UnopenableNetworkCases()[info.param].name;
                         });

// Winsock's side of a refused negotiation: a server of the test's own
// answers the tool's options with DONT COM-PORT-OPTION.
TEST(WineNetNegotiation, RefusedComPortOptionIsAPortThatDoesNotOpen) {
    REQUIRE_WINE_SESSION();
    FakeServer server([](int fd) {
        ReceiveBytes(fd, kClientOfferLength, 5000);
        SendBytes(fd, Bytes{255, 254, 44});
        ReceiveBytes(fd, 0, 5000);
    });
    RunCase(WineRunner(), PortThatDoesNotOpen("RefusedComPortOption", server.Url("rfc2217"),
                                                    "The server refused the RFC 2217 negotiation."), 0);
}

TEST(WineThreeServers, TheSameTransferThroughEachServer) {
    REQUIRE_WINE_SESSION();
    REQUIRE_SER2NET();
    REQUIRE_OTHER_SERVERS();
    TransferThroughEachServer(WineRunner());
}
