// The Telnet/RFC 2217 decoder and encoders, and the network port names.
#include <string>

#include <gtest/gtest.h>

#include "TelnetBytes.h"
#include "serial/NetAddress.h"
#include "serial/Telnet.h"

using namespace telnet;

namespace {

// Decodes `in` in pieces of `piece` bytes; returns the data.
Bytes Decode(TelnetState* s, const Bytes& in, size_t piece = 1000000) {
    Bytes data;
    for (size_t at = 0; at < in.size(); at += piece) {
        size_t n = std::min(piece, in.size() - at);
        unsigned char out[4096];
        data.append(out, TelnetDecode(s, in.data() + at, n, out));
    }
    return data;
}

Bytes Replies(TelnetState* s) {
    Bytes r(s->replies, s->replyLength);
    s->replyLength = 0;
    return r;
}

class Decoder : public ::testing::Test {
protected:
    void SetUp() override { TelnetReset(&s); }
    TelnetState s;
};

}  // namespace

TEST_F(Decoder, DataPassesAndADoubledIacIsOneByte) {
    Bytes all;
    for (int i = 0; i < 255; ++i) all += static_cast<unsigned char>(i);
    Bytes sent = all + B({kIac, kIac}) + B({'x', kIac, kIac, kIac, kIac});
    for (size_t piece : {1u, 2u, 3u, 1000u}) {
        TelnetReset(&s);
        EXPECT_EQ(Decode(&s, sent, piece), all + B({255, 'x', 255, 255})) << "pieces of " << piece;
        EXPECT_EQ(s.replyLength, 0u);
    }
}

TEST_F(Decoder, CommandsAreConsumedEvenSplitAcrossReads) {
    // NOP, GA, DM, a stray SE, a request, a subnegotiation, between data.
    Bytes in = B({'a', kIac, 241, 'b', kIac, 249, kIac, 242, kIac, kSe, 'c', kIac, kDo, kBinary, 'd', kIac, kSb,
                  kComPort, 106, 0, kIac, kSe, 'e'});
    for (size_t piece : {1u, 2u, 5u, 1000u}) {
        TelnetReset(&s);
        EXPECT_EQ(Decode(&s, in, piece), B({'a', 'b', 'c', 'd', 'e'})) << "pieces of " << piece;
    }
}

TEST_F(Decoder, Ser2netsOpeningGetsOnlyItsUnwantedEchoRefused) {
    unsigned char offer[64];
    size_t n = TelnetOffer(&s, offer, sizeof offer);
    EXPECT_EQ(Bytes(offer, n), B({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSuppressGoAhead, kIac,
                                  kDo, kSuppressGoAhead, kIac, kWill, kComPort}));
    // What ser2net sends on connecting, before any data.
    Decode(&s, B({kIac, kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead, kIac, kWill, kEcho, kIac, kDont,
                  kEcho, kIac, kDo, kBinary, kIac, kWill, kBinary, kIac, kDo, kComPort}));
    // Answers to our own requests need no reply; its ECHO is refused.
    EXPECT_EQ(Replies(&s), B({kIac, kDont, kEcho}));
    EXPECT_TRUE(ComPortAgreed(s));
    EXPECT_FALSE(s.comPortRefused);
    // Asked again for what is already on: no reply, so no loop.
    Decode(&s, B({kIac, kDo, kBinary, kIac, kWill, kBinary, kIac, kDo, kComPort}));
    EXPECT_EQ(Replies(&s), Bytes());
}

TEST_F(Decoder, RequestsNotAskedForAreAnsweredByTheRules) {
    // Unknown options are refused; the ones we take are agreed.
    Decode(&s, B({kIac, kDo, 24, kIac, kWill, 31, kIac, kDo, kBinary, kIac, kWill, kSuppressGoAhead}));
    EXPECT_EQ(Replies(&s), B({kIac, kWont, 24, kIac, kDont, 31, kIac, kWill, kBinary, kIac, kDo, kSuppressGoAhead}));
    // A server may not turn COM-PORT-OPTION on at its end.
    Decode(&s, B({kIac, kWill, kComPort}));
    EXPECT_EQ(Replies(&s), B({kIac, kDont, kComPort}));
    // Switching off what is on is acknowledged once; off stays off silently.
    Decode(&s, B({kIac, kDont, kBinary, kIac, kDont, kBinary, kIac, kWont, kSuppressGoAhead, kIac, kWont, 31}));
    EXPECT_EQ(Replies(&s), B({kIac, kWont, kBinary, kIac, kDont, kSuppressGoAhead}));
}

TEST_F(Decoder, ComPortOptionRefused) {
    unsigned char offer[64];
    TelnetOffer(&s, offer, sizeof offer);
    Decode(&s, B({kIac, kDont, kComPort}));
    EXPECT_TRUE(s.comPortRefused);
    EXPECT_FALSE(ComPortAgreed(s));
    EXPECT_EQ(Replies(&s), Bytes()) << "a refusal of our own request is not answered";
}

TEST_F(Decoder, BinaryRefusedEitherWayIsNoted) {
    unsigned char offer[64];
    TelnetOffer(&s, offer, sizeof offer);
    Decode(&s, B({kIac, kDo, kBinary, kIac, kWill, kBinary}));
    EXPECT_FALSE(s.binaryRefused);
    Decode(&s, B({kIac, kWont, kBinary}));
    EXPECT_TRUE(s.binaryRefused);
    TelnetReset(&s);
    TelnetOffer(&s, offer, sizeof offer);
    Decode(&s, B({kIac, kDont, kBinary}));
    EXPECT_TRUE(s.binaryRefused);
}

TEST_F(Decoder, ComPortAnswersAreNoted) {
    // 115200 is 00 01 C2 00; a rate with an FF byte comes doubled.
    Decode(&s, ComPortSub(101, B({0, 1, 0xC2, 0})) + ComPortSub(102, B({8})) + ComPortSub(103, B({1})) +
                   ComPortSub(104, B({1})) + ComPortSub(105, B({1})) + ComPortSub(105, B({14})) +
                   ComPortSub(105, B({8})) + ComPortSub(111, B({0})) + ComPortSub(107, B({0x30})) +
                   ComPortSub(112, B({3})));
    EXPECT_EQ(s.answers.seen, static_cast<unsigned>(kAnsweredLineSettings));
    EXPECT_EQ(s.answers.baudRate, 115200u);
    EXPECT_FALSE(ComPortSettingsRefused(s.answers, 115200));
    EXPECT_TRUE(ComPortSettingsRefused(s.answers, 9600));

    Decode(&s, B({kIac, kSb, kComPort, 101, 0, 0, kIac, kIac, 0, kIac, kSe}));
    EXPECT_EQ(s.answers.baudRate, 0xFF00u);
    // Each other setting, reported otherwise, is a refusal too.
    for (Bytes other : {ComPortSub(102, B({7})), ComPortSub(103, B({3})), ComPortSub(104, B({2})),
                        ComPortSub(105, B({2})), ComPortSub(105, B({16}))}) {
        TelnetReset(&s);
        Decode(&s, other);
        EXPECT_TRUE(ComPortSettingsRefused(s.answers, 115200)) << int(other[3]) << " " << int(other[4]);
    }
    // A baud answer too short is no answer; a longer one (sredird sends the
    // rate and four zero bytes) is read by its first four bytes.
    TelnetReset(&s);
    Decode(&s, ComPortSub(101, B({1, 0xC2, 0})));
    EXPECT_EQ(s.answers.seen, 0u);
    Decode(&s, ComPortSub(101, B({0, 1, 0xC2, 0, 0, 0, 0, 0})));
    EXPECT_EQ(s.answers.seen, static_cast<unsigned>(kAnsweredBaudRate));
    EXPECT_EQ(s.answers.baudRate, 115200u);
}

TEST_F(Decoder, HostileSubnegotiationsAreBounded) {
    // Far longer than the buffer: skipped whole, data after it intact.
    Bytes longSub = B({kIac, kSb, kComPort, 101});
    for (int i = 0; i < 100000; ++i) longSub += B({7, kIac, kIac});  // doubled 0xFF keeps it going
    longSub += B({kIac, kSe, 'o', 'k'});
    EXPECT_EQ(Decode(&s, longSub, 777), B({'o', 'k'}));
    EXPECT_EQ(s.answers.seen, 0u);
    // A subnegotiation that never ends swallows everything, and returns no data.
    TelnetReset(&s);
    Bytes endless = B({kIac, kSb, kComPort});
    endless += Bytes(50000, 'x');
    EXPECT_EQ(Decode(&s, endless, 4096), Bytes());
    // Any other command ends it; what follows is data again.
    EXPECT_EQ(Decode(&s, B({kIac, 241, 'y'})), B({'y'}));
}

TEST_F(Decoder, AFloodOfRequestsQueuesABoundedNumberOfWholeReplies) {
    Bytes flood;
    for (int i = 0; i < 10000; ++i) flood += B({kIac, kDo, 99});
    EXPECT_EQ(Decode(&s, flood, 1000), Bytes());
    EXPECT_LE(s.replyLength, size_t(TelnetState::kMaxReplies));
    EXPECT_EQ(s.replyLength % 3, 0u);
    for (size_t i = 0; i < s.replyLength; i += 3) {
        ASSERT_EQ(Bytes(s.replies + i, 3), B({kIac, kWont, 99}));
    }
}

TEST(TelnetEncode, DataIsEscapedWithoutSplittingADoubledByte) {
    Bytes in = B({1, 255, 2, 255});
    unsigned char out[16];
    size_t consumed = 0;
    EXPECT_EQ(Bytes(out, TelnetEscape(in.data(), in.size(), &consumed, out, sizeof out)),
              B({1, 255, 255, 2, 255, 255}));
    EXPECT_EQ(consumed, 4u);
    // Room for 2 bytes: the 0xFF needs two, so only the first byte goes.
    EXPECT_EQ(TelnetEscape(in.data(), in.size(), &consumed, out, 2), 1u);
    EXPECT_EQ(consumed, 1u);
}

TEST(TelnetEncode, LineSettingsAndPurgeAreTheExactCommands) {
    unsigned char out[128];
    Bytes settings(out, ComPortLineSettings(115200, out, sizeof out));
    EXPECT_EQ(settings, ComPortSub(1, B({0, 1, 0xC2, 0})) + ComPortSub(2, B({8})) + ComPortSub(3, B({1})) +
                            ComPortSub(4, B({1})) + ComPortSub(5, B({1})) + ComPortSub(5, B({14})) +
                            ComPortSub(5, B({8})) + ComPortSub(5, B({11})));
    EXPECT_EQ(ComPortLineSettings(115200, out, settings.size() - 1), 0u);
    // A value byte of 0xFF is doubled inside the subnegotiation.
    Bytes odd(out, ComPortLineSettings(0x00FF00FFul, out, sizeof out));
    EXPECT_EQ(odd.substr(0, 10), B({kIac, kSb, kComPort, 1, 0, 255, 255, 0, 255, 255}));
    EXPECT_EQ(Bytes(out, ComPortCommand(kPurgeData, &kPurgeBoth, 1, out, sizeof out)),
              B({kIac, kSb, kComPort, 12, 3, kIac, kSe}));
}

TEST(NetAddress, TheTwoSchemesAndTheirHosts) {
    NetAddress a;
    ASSERT_TRUE(ParseNetAddress("rfc2217://lab-pi:4000", &a));
    EXPECT_EQ(a.scheme, NetScheme::kRfc2217);
    EXPECT_STREQ(a.host, "lab-pi");
    EXPECT_STREQ(a.port, "4000");
    ASSERT_TRUE(ParseNetAddress("socket://192.168.1.20:4001", &a));
    EXPECT_EQ(a.scheme, NetScheme::kSocket);
    EXPECT_STREQ(a.host, "192.168.1.20");
    ASSERT_TRUE(ParseNetAddress("RFC2217://[::1]:00065535", &a));
    EXPECT_EQ(a.scheme, NetScheme::kRfc2217);
    EXPECT_STREQ(a.host, "::1");
    EXPECT_STREQ(a.port, "65535");
    ASSERT_TRUE(ParseNetAddress("socket://[fe80::1:2.3.4.5]:1", &a));
    EXPECT_STREQ(a.host, "fe80::1:2.3.4.5");
}

TEST(NetAddress, EverythingElseIsRefused) {
    NetAddress a;
    for (const char* bad :
         {"rfc2217://", "rfc2217://host", "rfc2217://host:", "rfc2217://host:99999", "rfc2217://host:65536",
          "rfc2217://host:0", "ftp://host:1", "telnet://host:23", "rfc2217:/host:1", "rfc2217://:4000",
          "rfc2217://[]:1", "rfc2217://[::1:1", "rfc2217://::1:4000", "rfc2217://host:4000/",
          "rfc2217://host:4000?logging=debug", "rfc2217://user@host:1", "rfc2217://ho st:1", "socket://host:-1",
          "socket://host:+1", "socket://[::1]x:1", "://host:1"}) {
        EXPECT_FALSE(ParseNetAddress(bad, &a)) << bad;
    }
    std::string longHost = "socket://" + std::string(256, 'h') + ":1";
    EXPECT_FALSE(ParseNetAddress(longHost.c_str(), &a));
    EXPECT_TRUE(ParseNetAddress(("socket://" + std::string(255, 'h') + ":1").c_str(), &a));
    EXPECT_TRUE(IsNetworkName("ftp://x"));
    EXPECT_FALSE(IsNetworkName("/dev/ttyUSB0"));
}

TEST(NetAddress, TheTlsSchemesAndTheirQuery) {
    NetAddress a;
    ASSERT_TRUE(ParseNetAddress("rfc2217+TLS://lab:4000?key=k%26%41.pem&name=srv.lab&ca=C:\\lab\\ca.pem&cert=c d", &a));
    EXPECT_TRUE(a.tls);
    EXPECT_EQ(a.scheme, NetScheme::kRfc2217);
    EXPECT_STREQ(a.host, "lab");
    EXPECT_STREQ(a.ca, "C:\\lab\\ca.pem");
    EXPECT_STREQ(a.cert, "c d");
    EXPECT_STREQ(a.key, "k&A.pem");
    EXPECT_STREQ(a.name, "srv.lab");
    // Without a query: the system's roots, no client certificate, HOST.
    ASSERT_TRUE(ParseNetAddress("socket+tls://[::1]:7", &a));
    EXPECT_EQ(a.scheme, NetScheme::kSocket);
    EXPECT_TRUE(a.tls);
    EXPECT_STREQ(a.ca, "");
    EXPECT_STREQ(a.cert, "");
    EXPECT_STREQ(a.name, "::1");
    ASSERT_TRUE(ParseNetAddress("socket://h:7", &a));
    EXPECT_FALSE(a.tls);
    EXPECT_STREQ(a.problem, "");

    const struct {
        const char* name;
        const char* problem;
    } refused[] = {
        {"socket://h:1?ca=x", "a query is for rfc2217+tls:// and socket+tls:// only"},
        {"socket+tls://h:1?ca=x&CA=y", "unknown parameter 'CA'"},
        {"socket+tls://h:1?name=", "parameter 'name' has no value"},
        {"socket+tls://h:1?ca=a&name=b&ca=a", "parameter 'ca' given twice"},
        {"socket+tls://h:1?key=k", "key without cert"},
        {"socket+tls://h:1?", "the query after '?' is empty"},
        {"socket+tls://h:1?ca=a&&name=b", "the query holds an empty parameter"},
        {"socket+tls://h:1?ca=a%2", "a '%' in the value of 'ca' is not followed by two hex digits"},
        {"socket+tls://h:1?ca=a%00b", "the value of 'ca' holds %00"},
        {"socket+tls://h:1?averyveryverylongparametername=1", "unknown parameter 'averyveryverylongparamet...'"},
        {"tls://h:1", "the scheme is not rfc2217, socket, rfc2217+tls or socket+tls"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(ParseNetAddress(r.name, &a)) << r.name;
        EXPECT_STREQ(a.problem, r.problem) << r.name;
    }
    // A value fills its field, and one byte more is refused.
    EXPECT_TRUE(ParseNetAddress(("socket+tls://h:1?ca=" + std::string(255, 'c')).c_str(), &a));
    EXPECT_EQ(std::string(a.ca), std::string(255, 'c'));
    EXPECT_FALSE(ParseNetAddress(("socket+tls://h:1?ca=" + std::string(256, 'c')).c_str(), &a));
    EXPECT_STREQ(a.problem, "the value of 'ca' is too long");
}

TEST(NetAddress, TheReasonTexts) {
    char out[320];
    EXPECT_STREQ(NetFailureText(NetFailure::kUrl, "cert without key", out, sizeof out),
                 "The URL is not valid: cert without key.");
    EXPECT_STREQ(NetFailureText(NetFailure::kWrongName, "lab.example", out, sizeof out),
                 "The server's certificate is not for lab.example.");
    EXPECT_STREQ(NetFailureText(NetFailure::kRefused, "%s%n", out, sizeof out), "The server refused the connection.");
    // Cut to fit, and terminated.
    char small[8];
    EXPECT_STREQ(NetFailureText(NetFailure::kNoTls, nullptr, small, sizeof small), "The ser");
}
