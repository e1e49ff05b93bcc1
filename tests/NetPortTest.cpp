// ComPort on network ports, against servers of the test's own that behave
// exactly as each case needs: the Telnet negotiation byte for byte, the
// read time-outs under floods of commands, refusals, closes and silence,
// and the same inside TLS with certificates the test makes.
#include <csignal>
#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "FakeServer.h"
#include "TempDir.h"
#include "TelnetBytes.h"
#include "serial/ComPort.h"
#include "serial/Telnet.h"

using namespace telnet;

namespace {

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const Bytes& Offer() {
    static const Bytes b = B({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSuppressGoAhead, kIac, kDo,
                              kSuppressGoAhead, kIac, kWill, kComPort});
    return b;
}
const Bytes& Settings() {
    static const Bytes b = ComPortSub(1, B({0, 1, 0xC2, 0})) + ComPortSub(2, B({8})) + ComPortSub(3, B({1})) +
                           ComPortSub(4, B({1})) + ComPortSub(5, B({1})) + ComPortSub(5, B({14})) +
                           ComPortSub(5, B({8})) + ComPortSub(5, B({11}));
    return b;
}
// ser2net's answers: every line setting, but nothing for DTR and RTS.
const Bytes& Answers() {
    static const Bytes b = ComPortSub(101, B({0, 1, 0xC2, 0})) + ComPortSub(102, B({8})) + ComPortSub(103, B({1})) +
                           ComPortSub(104, B({1})) + ComPortSub(105, B({1})) + ComPortSub(105, B({14}));
    return b;
}

// Rate, data size, parity and stop size confirmed, and nothing else.
const Bytes& FramingAnswers() {
    static const Bytes b = ComPortSub(101, B({0, 1, 0xC2, 0})) + ComPortSub(102, B({8})) + ComPortSub(103, B({1})) +
                           ComPortSub(104, B({1}));
    return b;
}

// The server's side of a good negotiation; `heard` gets what the client sent.
void Agree(int fd, Bytes* heard) {
    Bytes offer = ReceiveBytes(fd, Offer().size(), 3000);
    SendBytes(fd, B({kIac, kDo, kBinary, kIac, kWill, kBinary, kIac, kDo, kSuppressGoAhead, kIac, kWill,
                     kSuppressGoAhead, kIac, kDo, kComPort}));
    Bytes settings = ReceiveBytes(fd, Settings().size(), 3000);
    SendBytes(fd, Answers());
    if (heard) *heard = offer + settings;
}

std::string Text(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace

TEST(NetPort, Rfc2217NegotiationReadWriteAndPurgeOnTheWire) {
    Bytes heard, after;
    std::atomic<bool> dataSent(false);
    FakeServer server([&](int fd) {
        Agree(fd, &heard);
        // Data with a doubled 0xFF, a command inside, and an option request.
        SendBytes(fd, B({'d', kIac, kIac, kIac, 241, 'e', kIac, kDo, 24}));
        dataSent = true;
        after = ReceiveBytes(fd, 0, 5000);  // until the client closes
    });
    ComPort port;
    auto start = Clock::now();
    ASSERT_TRUE(port.Open(server.Url("rfc2217").c_str(), 115200, 500));
    // DTR and RTS were never answered: that costs no wait.
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(std::string(port.name), server.Url("rfc2217"));
    EXPECT_FALSE(port.Open(server.Url("rfc2217").c_str(), 115200, 500)) << "open twice";

    unsigned char got[8];
    EXPECT_EQ(Text(got, port.Read(got, 3)), "d\xff" "e");
    const unsigned char record[] = {0x01, 0xff, 0x00};
    EXPECT_TRUE(port.Write(record, sizeof record));
    EXPECT_TRUE(port.Purge());
    port.Close();
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    server.Join();

    EXPECT_EQ(heard, Offer() + Settings());
    // The refusal of option 24, the record with its 0xFF doubled, the purge.
    EXPECT_EQ(after, B({kIac, kWont, 24, 0x01, 0xff, 0xff, 0x00}) + ComPortSub(12, B({3})));
}

// Servers answer the line settings each their own way; once rate and
// framing are confirmed, Open must not wait for the rest.
TEST(NetPort, OpenGoesOnOnceRateAndFramingAreConfirmed) {
    const Bytes answers[] = {
        Answers(),                                         // ser2net: all but DTR and RTS
        FramingAnswers() + ComPortSub(105, B({1})),        // pySerial's server: no inbound flow control
        ComPortSub(101, B({0, 1, 0xC2, 0, 0, 0, 0, 0})) +  // sredird: a longer rate, no flow control
            ComPortSub(102, B({8})) + ComPortSub(103, B({1})) + ComPortSub(104, B({1})),
    };
    for (const Bytes& answer : answers) {
        FakeServer server([&](int fd) {
            ReceiveBytes(fd, Offer().size(), 3000);
            SendBytes(fd, B({kIac, kDo, kComPort}));
            ReceiveBytes(fd, Settings().size(), 3000);
            // Each answer on its own, as a server that writes them one by one.
            for (size_t at = 0; at < answer.size();) {
                size_t end = answer.find(Bytes(B({kIac, kSe})), at) + 2;
                SendBytes(fd, answer.substr(at, end - at));
                at = end;
            }
            ReceiveBytes(fd, 0, 3000);
        });
        ComPort port;
        auto start = Clock::now();
        EXPECT_TRUE(port.Open(server.Url("rfc2217").c_str(), 115200, 500)) << answer.size();
        EXPECT_LT(SecondsSince(start), 0.5) << answer.size();
    }
    // A target that greets and vanishes at once: the server sends the
    // answers, the first bytes and its close together. The port opens, and
    // the bytes are read before the close ends the read. (The close may
    // reach the tool before or after it looks for more than the answers: a
    // few rounds.)
    for (int round = 0; round < 10; ++round) {
        FakeServer server([&](int fd) {
            ReceiveBytes(fd, Offer().size(), 3000);
            SendBytes(fd, B({kIac, kDo, kComPort}));
            ReceiveBytes(fd, Settings().size(), 3000);
            SendBytes(fd, Answers() + B({'L', 'O'}));
        });
        ComPort port;
        ASSERT_TRUE(port.Open(server.Url("rfc2217").c_str(), 115200, 500)) << "round " << round;
        server.Join();
        unsigned char got[4];
        auto start = Clock::now();
        EXPECT_EQ(Text(got, port.Read(got, 4)), "LO");
        EXPECT_LT(SecondsSince(start), 0.5) << "the closed connection did not end the read";
    }
}

TEST(NetPort, RefusalsAndClosesDuringTheNegotiationFailOpenAtOnce) {
    // The server's answer to the offer and, where it goes on, to the line
    // settings (empty: it closes instead). Kept with each case rather than
    // chosen by index, so an entry added anywhere gets the server it names.
    const struct {
        Bytes toOffer;
        Bytes toSettings;
    } refusals[] = {
        {B({kIac, kDont, kComPort}), {}},                                    // COM-PORT-OPTION refused
        {B({kIac, kDo, kComPort}), ComPortSub(101, B({0, 0, 0x25, 0x80}))},  // agreed, then another baud rate
        {B({kIac, kDo, kComPort}), {}},                                      // agreed, then closed
        {Bytes(reinterpret_cast<const unsigned char*>("Device open failure\r\n")), {}},  // ser2net's missing device
        // Every setting answered as asked, all the same:
        {B({kIac, kDo, kComPort, kIac, kWont, kBinary}), Answers()},  // no binary data from the server
        {B({kIac, kDo, kComPort, kIac, kDont, kBinary}), Answers()},  // nor to it
        // Rate and framing as asked, with RTS/CTS reported in the same breath.
        {B({kIac, kDo, kComPort}), FramingAnswers() + ComPortSub(105, B({3}))},
    };
    for (size_t i = 0; i < std::size(refusals); ++i) {
        FakeServer server([&](int fd) {
            ReceiveBytes(fd, Offer().size(), 3000);
            SendBytes(fd, refusals[i].toOffer);
            if (!refusals[i].toSettings.empty()) {
                ReceiveBytes(fd, Settings().size(), 3000);
                SendBytes(fd, refusals[i].toSettings);
                ReceiveBytes(fd, 0, 3000);
            }
        });
        ComPort port;
        auto start = Clock::now();
        EXPECT_FALSE(port.Open(server.Url("rfc2217").c_str(), 115200, 500)) << "case " << i;
        EXPECT_LT(SecondsSince(start), 0.5) << "case " << i;
        EXPECT_FALSE(port.IsOpen());
    }
}

TEST(NetPort, AServerThatNeverAgreesFailsOpenAfterItsBound) {
    // A raw server given an rfc2217:// name: it says nothing at all.
    FakeServer server([](int fd) { ReceiveBytes(fd, 0, 4000); });
    ComPort port;
    auto start = Clock::now();
    EXPECT_FALSE(port.Open(server.Url("rfc2217").c_str(), 115200, 500));
    EXPECT_GT(SecondsSince(start), 1.8);
    EXPECT_LT(SecondsSince(start), 2.8);
}

TEST(NetPort, ConnectIsBoundedWhenTheServerNeverAccepts) {
    // A listener whose queue is full: the kernel drops further connection
    // requests, so connecting hangs as it would to a host that is down.
    FakeServer server(nullptr, false, 0);
    int fillers[4];
    for (int& f : fillers) {
        f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(server.port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ComPort port;
    auto start = Clock::now();
    EXPECT_FALSE(port.Open(server.Url("socket").c_str(), 115200, 500));
    EXPECT_GT(SecondsSince(start), 1.8);
    EXPECT_LT(SecondsSince(start), 2.8);
    for (int f : fillers) close(f);
}

TEST(NetPort, FloodsOfCommandsAndEndlessSubnegotiationsCannotStallARead) {
    // Each flood repeats its unit, after an opening sent once.
    const struct {
        Bytes opening;
        Bytes unit;
    } floods[] = {
        {{}, B({kIac, 241})},
        {{}, B({kIac, kDo, 99})},
        {{}, B({kIac, kWill, kEcho})},
        {B({kIac, kSb, kComPort}), B({'x'})},  // a subnegotiation never ended
    };
    for (size_t i = 0; i < std::size(floods); ++i) {
        std::atomic<bool> stop(false);
        FakeServer server([&](int fd) {
            Agree(fd, nullptr);
            Bytes chunk = floods[i].opening, more;
            while (chunk.size() < 3000) chunk += floods[i].unit;
            while (more.size() < 3000) more += floods[i].unit;
            while (!stop && SendBytes(fd, chunk)) {
                chunk = more;
                ReceiveBytes(fd, 0, 1);  // keep reading the client's replies
            }
        });
        ComPort port;
        ASSERT_TRUE(port.Open(server.Url("rfc2217").c_str(), 115200, 500)) << "case " << i;
        unsigned char byte;
        auto start = Clock::now();
        EXPECT_EQ(port.Read(&byte, 1), 0u) << "case " << i;
        double took = SecondsSince(start);
        EXPECT_GT(took, 0.9) << "case " << i;
        EXPECT_LT(took, 1.6) << "case " << i;
        stop = true;
        port.Close();
    }
}

TEST(NetPort, TheIntervalRuleCountsDataBytesOnly) {
    // 'a', then commands every 100 ms for 800 ms, then 'b': the commands
    // do not keep the read going; 500 ms after 'a' it ends with one byte.
    FakeServer server([](int fd) {
        Agree(fd, nullptr);
        SendBytes(fd, B({'a'}));
        for (int i = 0; i < 8; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            SendBytes(fd, B({kIac, 241}));
        }
        SendBytes(fd, B({'b'}));
        ReceiveBytes(fd, 0, 3000);
    });
    ComPort port;
    ASSERT_TRUE(port.Open(server.Url("rfc2217").c_str(), 115200, 500));
    unsigned char got[2];
    auto start = Clock::now();
    EXPECT_EQ(port.Read(got, 2), 1u);
    EXPECT_GT(SecondsSince(start), 0.45);
    EXPECT_LT(SecondsSince(start), 0.75);
    EXPECT_EQ(got[0], 'a');
    EXPECT_EQ(port.Read(got, 1), 1u);
    EXPECT_EQ(got[0], 'b');
}

TEST(NetPort, AClosedConnectionEndsAReadAtOnce) {
    for (const char* scheme : {"rfc2217", "socket"}) {
        FakeServer server([&](int fd) {
            if (std::string(scheme) == "rfc2217") Agree(fd, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the raw settle time
            SendBytes(fd, B({'a', 'b'}));
        });
        ComPort port;
        ASSERT_TRUE(port.Open(server.Url(scheme).c_str(), 115200, 500)) << scheme;
        unsigned char got[10];
        auto start = Clock::now();
        EXPECT_EQ(Text(got, port.Read(got, 10)), "ab") << scheme;
        EXPECT_LT(SecondsSince(start), 0.6) << scheme;  // 0.3 s until the server sends
        start = Clock::now();
        EXPECT_EQ(port.Read(got, 1), 0u);
        EXPECT_LT(SecondsSince(start), 0.1) << scheme;
        EXPECT_FALSE(port.Write(got, 1)) << scheme;
    }
}

TEST(NetPort, RawSocketPassesEveryByteAndPurgeDropsWhatCame) {
    Bytes all;
    for (int i = 0; i < 256; ++i) all += static_cast<unsigned char>(i);
    Bytes heard;
    FakeServer server([&](int fd) {
        SendBytes(fd, all);
        heard = ReceiveBytes(fd, 256, 3000);
        SendBytes(fd, B({'s', 't', 'a', 'l', 'e'}));
        ReceiveBytes(fd, 1, 3000);  // the client's go-ahead
        SendBytes(fd, B({'n', 'e', 'w'}));
        ReceiveBytes(fd, 0, 3000);
    });
    ComPort port;
    auto start = Clock::now();
    ASSERT_TRUE(port.Open(server.Url("socket", "localhost").c_str(), 115200, 500));
    EXPECT_GT(SecondsSince(start), 0.09) << "a raw port is watched a moment for a close";
    unsigned char got[300];
    EXPECT_EQ(Bytes(got, port.Read(got, 256)), all);
    ASSERT_TRUE(port.Write(all.data(), all.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(port.Purge());
    const unsigned char go = '!';
    ASSERT_TRUE(port.Write(&go, 1));
    EXPECT_EQ(Text(got, port.Read(got, 3)), "new");
    port.Close();
    server.Join();
    EXPECT_EQ(heard, all);
}

TEST(NetPort, ARawServerThatClosesAtOnceFailsOpen) {
    // How ser2net answers when its device cannot be opened.
    FakeServer server([](int fd) { SendBytes(fd, Bytes(reinterpret_cast<const unsigned char*>("Device open failure\r\n"))); });
    ComPort port;
    EXPECT_FALSE(port.Open(server.Url("socket").c_str(), 115200, 500));
    EXPECT_FALSE(port.IsOpen());
}

TEST(NetPort, BracketedIpv6Address) {
    FakeServer server([](int fd) { SendBytes(fd, B({'6'})); ReceiveBytes(fd, 0, 3000); }, true);
    if (server.port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
    ComPort port;
    ASSERT_TRUE(port.Open(server.Url("socket", "[::1]").c_str(), 115200, 500));
    unsigned char got;
    EXPECT_EQ(port.Read(&got, 1), 1u);
    EXPECT_EQ(got, '6');
}

TEST(NetPort, NamesThatCannotBeOpenedFailAtOnce) {
    // Port 1 is privileged and served by nothing here, so a connection to
    // it is refused.
    for (const std::string& name : {std::string("rfc2217://"), std::string("rfc2217://host"),
                                    std::string("rfc2217://host:99999"), std::string("ftp://127.0.0.1:1"),
                                    std::string("rfc2217://no-such-host.invalid:4000"),
                                    std::string("rfc2217://127.0.0.1:1")}) {
        ComPort port;
        auto start = Clock::now();
        EXPECT_FALSE(port.Open(name.c_str(), 115200, 500)) << name;
        EXPECT_LT(SecondsSince(start), 1.0) << name;
        EXPECT_FALSE(port.IsOpen());
    }
}

namespace {

// A lab CA, another CA, a server certificate of the first for localhost
// and 127.0.0.1, and a client certificate of the first, made once: the
// path of one of their files, "" when openssl could not make them.
std::string Cert(const std::string& file) {
    static TempDir dir;
    static const bool made = [] {
        const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
        const std::string script =
            "cd '" + dir.path() + "' && for n in ca other; do openssl req -x509 " + key +
            "-keyout $n.key -out $n.pem -days 2 -subj /CN=$n || exit 1; done && openssl req " + key +
            "-keyout server.key -out server.csr -subj /CN=server -addext subjectAltName=DNS:localhost,IP:127.0.0.1 && "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -copy_extensions copy "
            "-out server.pem && openssl req " + key + "-keyout client.key -out client.csr -subj /CN=client && "
            "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -days 2 -out client.pem";
        return system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
    }();
    return made ? dir.File(file) : "";
}

// A TLS server on the accepted connection `fd` (with the server
// certificate; `clientCa`: demand a client certificate of it) whose plain
// side is a socket pair: `script` gets its other end, so the plain
// scripts above serve inside TLS unchanged.
void ServeTls(int fd, const char* clientCa, const std::function<void(int)>& script, bool refusedByClient = false) {
    sigset_t pipe;  // a client that has gone must not kill the test
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx, Cert("server.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, Cert("server.key").c_str(), SSL_FILETYPE_PEM);
    if (clientCa != nullptr) {
        SSL_CTX_load_verify_locations(ctx, Cert(clientCa).c_str(), nullptr);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    int pair[2];
    if (SSL_accept(ssl) == 1 && socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0) {
        std::thread plain([&] {
            script(pair[1]);
            shutdown(pair[1], SHUT_RDWR);
        });
        unsigned char buffer[16384];
        for (bool open = true; open;) {
            struct pollfd p[2] = {{fd, POLLIN, 0}, {pair[0], POLLIN, 0}};
            if (SSL_pending(ssl) == 0 && poll(p, 2, 5000) <= 0) break;
            if (SSL_pending(ssl) > 0 || p[0].revents != 0) {
                int k = SSL_read(ssl, buffer, sizeof buffer);
                open = k > 0 && SendBytes(pair[0], Bytes(buffer, static_cast<size_t>(k)));
            } else {
                ssize_t k = recv(pair[0], buffer, sizeof buffer, 0);  // one write of the script, one record
                open = k > 0 && SSL_write(ssl, buffer, static_cast<int>(k)) > 0;
            }
        }
        shutdown(pair[0], SHUT_RDWR);
        plain.join();
        close(pair[0]);
        close(pair[1]);
    } else if (refusedByClient) {
        // The client found the server unproven: nothing may follow.
        EXPECT_EQ(ReceiveBytes(fd, 0, 3000), Bytes()) << "bytes after a refused handshake";
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
}

std::string TlsUrl(const FakeServer& server, const std::string& scheme, const std::string& query) {
    return scheme + "+tls://127.0.0.1:" + std::to_string(server.port()) + "?" + query;
}

}  // namespace

TEST(NetPortTls, BothSchemesInsideTlsWithAClientCertificate) {
    ASSERT_NE(Cert("ca.pem"), "") << "openssl could not make the certificates";
    const std::string client = "ca=" + Cert("ca.pem") + "&cert=" + Cert("client.pem") + "&key=" + Cert("client.key");
    Bytes heard, after;
    FakeServer rfc2217([&](int fd) {
        ServeTls(fd, "ca.pem", [&](int plain) {
            Agree(plain, &heard);
            SendBytes(plain, B({'d', kIac, kIac, 'e'}));
            after = ReceiveBytes(plain, 0, 5000);
        });
    });
    ComPort port;
    ASSERT_TRUE(port.Open(TlsUrl(rfc2217, "rfc2217", client).c_str(), 115200, 500)) << port.OpenFailure();
    EXPECT_STREQ(port.OpenFailure(), "");
    unsigned char got[16384];
    EXPECT_EQ(Text(got, port.Read(got, 3)), "d\xff" "e");
    const unsigned char record[] = {0x01, 0xff, 0x00};
    EXPECT_TRUE(port.Write(record, sizeof record));
    port.Close();
    rfc2217.Join();
    EXPECT_EQ(heard, Offer() + Settings());
    EXPECT_EQ(after, B({0x01, 0xff, 0xff, 0x00}));

    // One record of 10,000 bytes: more than a receive takes from the
    // session at once, so the rest waits inside it while the socket is
    // silent, and the read must still get it all.
    Bytes block;
    for (int i = 0; i < 10000; ++i) block += static_cast<unsigned char>(i * 7);
    FakeServer raw([&](int fd) {
        ServeTls(fd, "ca.pem", [&](int plain) {
            after = ReceiveBytes(plain, 3, 5000);
            SendBytes(plain, block);
            ReceiveBytes(plain, 0, 5000);
        });
    });
    ASSERT_TRUE(port.Open(TlsUrl(raw, "socket", client + "&name=localhost").c_str(), 115200, 500))
        << port.OpenFailure();
    EXPECT_TRUE(port.Write(record, sizeof record));
    EXPECT_EQ(Bytes(got, port.Read(got, block.size())), block);
    port.Close();
    raw.Join();
    EXPECT_EQ(after, B({0x01, 0xff, 0x00}));
}

TEST(NetPortTls, AServerNotProvenOrThatRefusesTheClientFailsOpenWithItsReason) {
    ASSERT_NE(Cert("ca.pem"), "") << "openssl could not make the certificates";
    const std::string ca = "ca=" + Cert("ca.pem");
    const struct {
        const char* scheme;
        std::string query;
        const char* clientCa;  // the server demands a client certificate of it
        std::string reason;
    } cases[] = {
        {"rfc2217", ca, "other.pem", "The server closed the connection after the TLS handshake (the client "
                                     "certificate was probably refused)."},
        {"socket", ca, "ca.pem", "The server closed the connection after the TLS handshake (the client "
                                 "certificate was probably refused)."},
        {"rfc2217", ca + "&name=lab.example", nullptr, "The server's certificate is not for lab.example."},
        {"socket", "ca=" + Cert("other.pem"), nullptr,
         "The server's certificate is not signed by the trusted authorities."},
    };
    for (const auto& c : cases) {
        FakeServer server([&](int fd) {
            ServeTls(fd, c.clientCa, [](int plain) { ReceiveBytes(plain, 0, 3000); }, c.clientCa == nullptr);
        });
        ComPort port;
        EXPECT_FALSE(port.Open(TlsUrl(server, c.scheme, c.query).c_str(), 115200, 500)) << c.reason;
        EXPECT_EQ(port.OpenFailure(), c.reason);
        EXPECT_FALSE(port.IsOpen());
    }
    // A server that speaks no TLS; files checked before any connection.
    FakeServer plain([](int fd) { SendBytes(fd, B({kIac, kDo, kComPort})); ReceiveBytes(fd, 0, 3000); });
    ComPort port;
    EXPECT_FALSE(port.Open(TlsUrl(plain, "rfc2217", ca).c_str(), 115200, 500));
    EXPECT_STREQ(port.OpenFailure(), "The server does not speak TLS.");
    EXPECT_FALSE(port.Open(("socket+tls://127.0.0.1:1?cert=" + Cert("client.pem") + "&key=" + Cert("ca.key")).c_str(),
                           115200, 500));
    EXPECT_EQ(port.OpenFailure(), "The key in '" + Cert("ca.key") + "' does not belong to the certificate.");
    // A local port never has a reason.
    EXPECT_FALSE(port.Open("/dev/tessan-no-such-port", 115200, 500));
    EXPECT_STREQ(port.OpenFailure(), "");
}
