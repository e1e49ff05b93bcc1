// libFuzzer target: the Telnet/RFC 2217 decoder on any byte stream a server
// might send. Two checks an input runs through:
//  - the input's bytes (after the first) as a raw stream, decoded whole and
//    in pieces of sizes drawn from the first byte: the same data, replies
//    and state either way; bounded output; a stream without 0xFF is all data;
//  - the input as a script that builds a stream of data runs (escaped as a
//    server would), commands, option requests and COM port answers: the
//    decoded data must be exactly the runs, and the last baud-rate answer
//    must be the one noted.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial/Telnet.h"

using namespace telnet;

namespace {

typedef std::basic_string<unsigned char> Bytes;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "telnet fuzz: %s\n", what);
    abort();
}

void Expect(bool ok, const char* what) {
    if (!ok) Fail(what);
}

// Decodes `in` in pieces whose sizes come from a small generator seeded
// with `seed` (0: all at once). Returns the data.
Bytes Decode(TelnetState* s, const Bytes& in, unsigned seed) {
    Bytes data;
    unsigned char out[256];
    size_t at = 0;
    while (at < in.size()) {
        size_t piece = in.size() - at;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;
            piece = std::min(piece, static_cast<size_t>(1 + (seed >> 16) % 64));
        }
        piece = std::min(piece, sizeof out);
        size_t n = TelnetDecode(s, in.data() + at, piece, out);
        Expect(n <= piece, "more data than bytes received");
        Expect(s->replyLength <= TelnetState::kMaxReplies, "reply queue overflow");
        Expect(s->subLength <= TelnetState::kMaxSubnegotiation, "subnegotiation overflow");
        data.append(out, n);
        at += piece;
    }
    return data;
}

bool SameState(const TelnetState& a, const TelnetState& b) {
    return a.state == b.state && a.localOn == b.localOn && a.remoteOn == b.remoteOn &&
           a.localAsked == b.localAsked && a.remoteAsked == b.remoteAsked &&
           a.comPortRefused == b.comPortRefused && a.answers.seen == b.answers.seen &&
           a.answers.baudRate == b.answers.baudRate && a.replyLength == b.replyLength &&
           memcmp(a.replies, b.replies, a.replyLength) == 0;
}

void CheckRawStream(const Bytes& stream, unsigned seed, bool offered) {
    TelnetState whole, pieces;
    TelnetReset(&whole);
    TelnetReset(&pieces);
    unsigned char offer[64];
    if (offered) {
        TelnetOffer(&whole, offer, sizeof offer);
        TelnetOffer(&pieces, offer, sizeof offer);
    }
    Bytes a = Decode(&whole, stream, 0);
    Bytes b = Decode(&pieces, stream, seed | 1);
    Expect(a == b, "data depends on how the stream was cut");
    Expect(SameState(whole, pieces), "state depends on how the stream was cut");
    // Every reply is a whole three-byte answer, and agrees only to ours.
    Expect(whole.replyLength % 3 == 0, "cut reply");
    for (size_t i = 0; i < whole.replyLength; i += 3) {
        const unsigned char verb = whole.replies[i + 1], option = whole.replies[i + 2];
        Expect(whole.replies[i] == kIac && verb >= kWill && verb <= kDont, "malformed reply");
        if (verb == kWill) Expect(option == kBinary || option == kSuppressGoAhead || option == kComPort, "agreed to an unknown option (us)");
        if (verb == kDo) Expect(option == kBinary || option == kSuppressGoAhead, "agreed to an unknown option (server)");
    }
    if (stream.find(kIac) == Bytes::npos) Expect(a == stream, "a stream without 0xFF is all data");
}

void CheckScript(const uint8_t* input, size_t size) {
    Bytes stream, expected;
    bool baudSeen = false;
    unsigned long baud = 0;
    size_t i = 0;
    auto next = [&]() -> unsigned char { return i < size ? input[i++] : 0; };
    while (i < size) {
        switch (next() % 6) {
        case 0: {  // a run of data, 0xFF doubled
            Bytes run;
            for (int n = next() % 16; n > 0; --n) run += next();
            expected += run;
            unsigned char escaped[64];
            size_t taken = 0;
            stream.append(escaped, TelnetEscape(run.data(), run.size(), &taken, escaped, sizeof escaped));
            Expect(taken == run.size(), "escape room");
            break;
        }
        case 1:  // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA
            stream += Bytes{kIac, static_cast<unsigned char>(241 + next() % 9)};
            break;
        case 2:  // WILL, WONT, DO or DONT some option
            stream += Bytes{kIac, static_cast<unsigned char>(kWill + next() % 4), next()};
            break;
        case 3: {  // a baud-rate answer
            unsigned char value[4] = {next(), next(), next(), next()};
            unsigned char command[32];
            stream.append(command, ComPortCommand(kServerOffset + kSetBaudRate, value, 4, command, sizeof command));
            baud = static_cast<unsigned long>(value[0]) << 24 | static_cast<unsigned long>(value[1]) << 16 |
                   static_cast<unsigned long>(value[2]) << 8 | value[3];
            baudSeen = true;
            break;
        }
        case 4: {  // any other subnegotiation of the COM port option
            unsigned char code = static_cast<unsigned char>(kServerOffset + 2 + next() % 18);
            Bytes value;
            for (int n = next() % 8; n > 0; --n) value += next();
            unsigned char command[32];
            stream.append(command, ComPortCommand(code, value.data(), value.size(), command, sizeof command));
            break;
        }
        default:  // a stray SE
            stream += Bytes{kIac, kSe};
            break;
        }
    }
    TelnetState s;
    TelnetReset(&s);
    Expect(Decode(&s, stream, size) == expected, "data differs from what the server sent");
    Expect(s.state == 0, "decoder not back at data after whole commands");
    if (baudSeen) {
        Expect((s.answers.seen & kAnsweredBaudRate) != 0, "baud-rate answer missed");
        Expect(s.answers.baudRate == baud, "baud-rate answer misread");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Bytes stream(data + 1, size - 1);
    CheckRawStream(stream, data[0], (data[0] & 0x80) != 0);
    CheckScript(data, size);
    return 0;
}
