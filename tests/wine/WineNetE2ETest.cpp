// The end-to-end cases with the Windows build under Wine, its port reached
// through ser2net over rfc2217:// and socket:// (Winsock in Wine, on
// loopback), one transfer through each RFC 2217 server, the network
// names that cannot be opened, and ser2net's TLS accepters through Wine's
// Schannel: transfers, and the refusals of servers and clients that do not
// prove themselves.
#include <sstream>

#include <gtest/gtest.h>

#include "../FakeServer.h"
#include "../TelnetBytes.h"
#include "../TempDir.h"
#include "../e2e/CaseCheck.h"
#include "../e2e/CaseText.h"
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

// ---- TLS ----

// A URL as a station on Windows writes it: each file of the query on Wine's
// drive Z:, with backslashes ("ca=/tmp/x/ca.pem" becomes "ca=Z:\tmp\x\ca.pem").
std::string WindowsFiles(const std::string& url) {
    size_t query = url.find('?');
    if (query == std::string::npos) return url;
    std::string out = url.substr(0, query + 1);
    for (size_t i = query + 1; i < url.size(); ++i) {
        if (url[i] == '/' && url[i - 1] == '=') out += "Z:";
        out += url[i] == '/' ? '\\' : url[i];
    }
    return out;
}

// What a refusal changes: the certificate ser2net shows, the client's
// certificate ("" none) and more of the query; and the reason line.
struct TlsRefusal {
    const char* name;
    const char* serverCert;
    const char* client;
    const char* more;
    const char* reason;
};

const TlsRefusal kRefusals[] = {
    {"ServerOfAnotherAuthority", "other-server", "client", "",
     "The server's certificate is not signed by the trusted authorities."},
    {"ServerWithItsOwnAuthority", "other-server-chain", "client", "",
     "The server's certificate is not signed by the trusted authorities."},
    {"ServerForAnotherName", "elsewhere-server", "client", "", "The server's certificate is not for 127.0.0.1."},
    {"ExpiredServer", "expired-server", "client", "", "The server's certificate is expired or not yet valid."},
    {"NameThatDoesNotMatch", "server", "client", "&name=board.example",
     "The server's certificate is not for board.example."},
    {"NoClientCertificate", "server", "", "",
     "The server closed the connection after the TLS handshake (the client certificate was probably refused)."},
    {"ClientOfAnotherAuthority", "server", "other-client", "",
     "The server ended the TLS handshake (the client certificate was probably missing or refused)."},
};

// The refusal and the form the runner's hooks serve (one test at a time).
const TlsRefusal* gRefusal = nullptr;
bool gRfc2217 = true;

bool StartRefusingServer(const std::string& dir, int) {
    Ser2net server;
    server.certs = TestCertificates();
    server.serverCert = gRefusal->serverCert;
    return !server.certs.empty() && StartRunServer(dir, &server);
}

// The URL the server wrote, with the refusal's query in Windows form.
std::string RefusalUrl(const std::string& dir, int) {
    std::string url = Slurp(dir + (gRfc2217 ? "/rfc2217.url" : "/socket.url"));
    url = url.substr(0, url.find('?'));
    return WindowsFiles(url + "?" + CertQuery(TestCertificates(), gRefusal->client) + gRefusal->more);
}

std::string Rfc2217TlsUrl(const std::string& dir, int) { return WindowsFiles(Slurp(dir + "/rfc2217.url")); }
std::string SocketTlsUrl(const std::string& dir, int) { return WindowsFiles(Slurp(dir + "/socket.url")); }

const Runner& WineOverTls(bool rfc2217) {
    static const Runner rfc = [] {
        Runner r = OverTlsNetwork(WineRunner(), true);
        r.portValue = r.portName = Rfc2217TlsUrl;
        return r;
    }();
    static const Runner raw = [] {
        Runner r = OverTlsNetwork(WineRunner(), false);
        r.portValue = r.portName = SocketTlsUrl;
        return r;
    }();
    return rfc2217 ? rfc : raw;
}

const E2ECase& CaseNamed(const std::string& name) {
    static const std::vector<E2ECase> cases = AllCases();
    for (const E2ECase& c : cases) {
        if (c.name == name) return c;
    }
    static const E2ECase none;
    ADD_FAILURE() << "no case " << name;
    return none;
}

// The key containers of the prefix's user that a session of the tool made
// (each is deleted when its port closes), as `wine reg` lists them.
std::string KeyContainersLeft() {
    TempDir dir;
    pid_t reg = StartProcess({"/usr/bin/env", "WINEPREFIX=" + WinePrefix(), "WINEDEBUG=-all", TESSAN_WINE, "reg",
                              "query", "HKCU\\Software\\Wine\\Crypto\\RSA"},
                             dir.path(), dir.File("reg.out"), dir.File("reg.err"));
    EXPECT_EQ(StopProcess(reg, 30), 0) << "wine reg did not run";
    std::string left, line;
    std::istringstream lines(Slurp(dir.File("reg.out")));
    while (std::getline(lines, line)) {
        if (line.find("tessan-tls") != std::string::npos) left += line + "\n";
    }
    return left;
}

class WineTlsTransfer : public ::testing::TestWithParam<std::tuple<bool, std::string>> {};
class WineTlsRefusal : public ::testing::TestWithParam<std::tuple<bool, size_t>> {};

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

// Through ser2net's TLS accepters with the lab's client certificate: every
// byte value and records of every size, over both forms; the key's
// container is gone afterwards.
TEST_P(WineTlsTransfer, Run) {
    REQUIRE_WINE_SESSION();
    REQUIRE_SER2NET_TLS();
    RunCase(WineOverTls(std::get<0>(GetParam())), CaseNamed(std::get<1>(GetParam())), 0);
    EXPECT_EQ(KeyContainersLeft(), "") << "the client's key stayed in the user's key store";
}

INSTANTIATE_TEST_SUITE_P(Case, WineTlsTransfer,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(std::string("NineRecords"), std::string("LargestRecord"))),
                         [](const ::testing::TestParamInfo<std::tuple<bool, std::string>>& info) {
                             return std::string(std::get<0>(info.param) ? "Rfc2217Tls_" : "SocketTls_") +
                                    std::get<1>(info.param);
                         });

// A server or a client that does not prove itself: the port does not open,
// with the reason, and the target receives nothing.
TEST_P(WineTlsRefusal, PortDoesNotOpen) {
    REQUIRE_WINE_SESSION();
    REQUIRE_SER2NET_TLS();
    gRfc2217 = std::get<0>(GetParam());
    gRefusal = &kRefusals[std::get<1>(GetParam())];
    Runner runner = WineOverTls(gRfc2217);
    runner.startServer = StartRefusingServer;
    runner.portValue = runner.portName = RefusalUrl;
    E2ECase c;
    c.name = gRefusal->name;
    c.image = Hex(Records({0}));
    c.expected = Head() + "Error: {PORT} in use or does not exist.\n  " + gRefusal->reason + "\n{PAUSE}";
    c.nothingReceived = true;
    c.maxSeconds = 5;
    RunCase(runner, c, 0);
}

INSTANTIATE_TEST_SUITE_P(Case, WineTlsRefusal,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Range<size_t>(0, sizeof kRefusals / sizeof kRefusals[0])),
                         [](const ::testing::TestParamInfo<std::tuple<bool, size_t>>& info) {
                             return std::string(std::get<0>(info.param) ? "Rfc2217Tls_" : "SocketTls_") +
                                    kRefusals[std::get<1>(info.param)].name;
                         });
