// The Telnet decoder and the encoders for RFC 2217.
#include "Telnet.h"

#include <cstring>

using namespace telnet;

namespace {

enum State { kData, kCommand, kOption, kSubOption, kSubData, kSubCommand };

// The options this client takes part in, one bit each in TelnetState's
// option masks.
const unsigned char kBinaryBit = 1, kGoAheadBit = 2, kComPortBit = 4;

// The option's bit; 0 for an option that is none of ours.
unsigned char OptionBit(unsigned char option) {
    switch (option) {
    case kBinary: return kBinaryBit;
    case kSuppressGoAhead: return kGoAheadBit;
    case kComPort: return kComPortBit;
    default: return 0;
    }
}

// Queues a three-byte reply if it fits whole; a flood of requests would
// otherwise grow it without end, and a cut reply would garble the stream.
void Reply(TelnetState* s, unsigned char verb, unsigned char option) {
    if (s->replyLength + 3 > TelnetState::kMaxReplies) return;
    s->replies[s->replyLength++] = kIac;
    s->replies[s->replyLength++] = verb;
    s->replies[s->replyLength++] = option;
}

// A request to turn an option on at one end (DO for ours, WILL for the
// server's); `on` and `asked` are that end's masks, `yes` and `no` the verbs
// that answer for it. A request for the state an option is already in is not
// answered, so two ends can never loop; our own requests' answers are taken
// without a reply.
void RequestOn(TelnetState* s, unsigned char* on, unsigned char* asked, bool allowed, unsigned char bit,
               unsigned char yes, unsigned char no, unsigned char option) {
    if (!allowed) {
        Reply(s, no, option);
    } else if (!(*on & bit)) {
        *on |= bit;
        if (!(*asked & bit)) Reply(s, yes, option);
    }
    *asked &= static_cast<unsigned char>(~bit);
}

// A request to turn an option off at one end (DONT for ours, WONT for the
// server's), which is always agreed to.
void RequestOff(TelnetState* s, unsigned char* on, unsigned char* asked, unsigned char bit, unsigned char no,
                unsigned char option) {
    if (*on & bit) {
        *on &= static_cast<unsigned char>(~bit);
        Reply(s, no, option);
    }
    *asked &= static_cast<unsigned char>(~bit);
}

// Answers one request. We offer all three options at our end, and accept
// the first two at the server's (a server has no use for our COM port
// commands).
void Negotiate(TelnetState* s, unsigned char verb, unsigned char option) {
    const unsigned char bit = OptionBit(option);
    switch (verb) {
    case kDo:
        RequestOn(s, &s->localOn, &s->localAsked, bit != 0, bit, kWill, kWont, option);
        break;
    case kWill:
        RequestOn(s, &s->remoteOn, &s->remoteAsked, (bit & (kBinaryBit | kGoAheadBit)) != 0, bit, kDo, kDont,
                  option);
        break;
    case kDont:
        if (option == kComPort) s->comPortRefused = true;
        if (option == kBinary) s->binaryRefused = true;
        RequestOff(s, &s->localOn, &s->localAsked, bit, kWont, option);
        break;
    case kWont:
        if (option == kBinary) s->binaryRefused = true;
        RequestOff(s, &s->remoteOn, &s->remoteAsked, bit, kDont, option);
        break;
    }
}

// A finished subnegotiation: only the server's COM port answers matter.
void Subnegotiation(TelnetState* s) {
    if (s->subTooLong || s->subLength < 3 || s->sub[0] != kComPort) return;
    const unsigned char command = s->sub[1];
    const unsigned char* value = s->sub + 2;
    const size_t valueLength = s->subLength - 2;
    ComPortAnswers& a = s->answers;
    switch (command) {
    case kServerOffset + kSetBaudRate:
        // The rate is the value's first four bytes. Some servers (sredird)
        // send a longer value, the rate followed by zero bytes: taken by its
        // leading bytes, as other clients take it. A shorter one is no answer.
        if (valueLength < 4) return;
        a.baudRate = static_cast<unsigned long>(value[0]) << 24 | static_cast<unsigned long>(value[1]) << 16 |
                     static_cast<unsigned long>(value[2]) << 8 | value[3];
        a.seen |= kAnsweredBaudRate;
        break;
    case kServerOffset + kSetDataSize:
        a.dataSize = value[0];
        a.seen |= kAnsweredDataSize;
        break;
    case kServerOffset + kSetParity:
        a.parity = value[0];
        a.seen |= kAnsweredParity;
        break;
    case kServerOffset + kSetStopSize:
        a.stopSize = value[0];
        a.seen |= kAnsweredStopSize;
        break;
    case kServerOffset + kSetControl:
        // One command, several settings: the value tells which one.
        switch (value[0]) {
        case 1: case 2: case 3: case 17: case 19:
            a.flowOut = value[0];
            a.seen |= kAnsweredFlowOut;
            break;
        case 14: case 15: case 16: case 18:
            a.flowIn = value[0];
            a.seen |= kAnsweredFlowIn;
            break;
        default:  // break, DTR and RTS states: a device may have no such lines
            break;
        }
        break;
    default:  // line and modem state notices, purge answers, masks
        break;
    }
}

// The byte after an IAC, other than a second IAC.
void Command(TelnetState* s, unsigned char c) {
    if (c >= kWill && c <= kDont) {
        s->verb = c;
        s->state = kOption;
    } else if (c == kSb) {
        s->state = kSubOption;
    } else {
        s->state = kData;  // NOP, GA, DM, a stray SE and the like: nothing to do
    }
}

}  // namespace

void TelnetReset(TelnetState* state) { memset(state, 0, sizeof *state); }

size_t TelnetOffer(TelnetState* state, unsigned char* out, size_t size) {
    static const unsigned char kOffer[] = {
        kIac, kWill, kBinary,           kIac, kDo, kBinary,           kIac, kWill, kSuppressGoAhead,
        kIac, kDo,   kSuppressGoAhead,  kIac, kWill, kComPort,
    };
    if (size < sizeof kOffer) return 0;
    memcpy(out, kOffer, sizeof kOffer);
    state->localAsked = kBinaryBit | kGoAheadBit | kComPortBit;
    state->remoteAsked = kBinaryBit | kGoAheadBit;
    return sizeof kOffer;
}

size_t TelnetDecode(TelnetState* s, const unsigned char* in, size_t length, unsigned char* data) {
    size_t out = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = in[i];
        switch (s->state) {
        case kData:
            if (c == kIac) {
                s->state = kCommand;
            } else {
                data[out++] = c;
            }
            break;
        case kCommand:
            if (c == kIac) {
                data[out++] = c;  // a doubled 0xFF is one data byte
                s->state = kData;
            } else {
                Command(s, c);
            }
            break;
        case kOption:
            Negotiate(s, s->verb, c);
            s->state = kData;
            break;
        case kSubOption:
            s->sub[0] = c;
            s->subLength = 1;
            s->subTooLong = false;
            s->state = kSubData;
            break;
        case kSubData:
            if (c == kIac) {
                s->state = kSubCommand;
            } else if (s->subLength < TelnetState::kMaxSubnegotiation) {
                s->sub[s->subLength++] = c;
            } else {
                s->subTooLong = true;
            }
            break;
        case kSubCommand:
            if (c == kIac) {  // a doubled 0xFF inside the value
                if (s->subLength < TelnetState::kMaxSubnegotiation) {
                    s->sub[s->subLength++] = c;
                } else {
                    s->subTooLong = true;
                }
                s->state = kSubData;
            } else if (c == kSe) {
                Subnegotiation(s);
                s->state = kData;
            } else {
                // Any other command ends a subnegotiation that lacked its
                // SE: the unfinished one is dropped, the command is taken.
                Command(s, c);
            }
            break;
        }
    }
    return out;
}

bool ComPortAgreed(const TelnetState& state) { return (state.localOn & kComPortBit) != 0; }

bool ComPortSettingsRefused(const ComPortAnswers& a, unsigned long baudRate) {
    return ((a.seen & kAnsweredBaudRate) && a.baudRate != baudRate) ||
           ((a.seen & kAnsweredDataSize) && a.dataSize != 8) ||
           ((a.seen & kAnsweredParity) && a.parity != kParityNone) ||
           ((a.seen & kAnsweredStopSize) && a.stopSize != kOneStopBit) ||
           ((a.seen & kAnsweredFlowOut) && a.flowOut != kNoFlowOut) ||
           ((a.seen & kAnsweredFlowIn) && a.flowIn != kNoFlowIn);
}

size_t TelnetEscape(const unsigned char* in, size_t length, size_t* consumed, unsigned char* out, size_t size) {
    size_t i = 0, n = 0;
    for (; i < length; ++i) {
        const size_t need = in[i] == kIac ? 2 : 1;
        if (n + need > size) break;
        out[n++] = in[i];
        if (need == 2) out[n++] = kIac;
    }
    *consumed = i;
    return n;
}

size_t ComPortCommand(unsigned char command, const unsigned char* value, size_t valueLength, unsigned char* out,
                      size_t size) {
    if (size < 6) return 0;
    size_t n = 0;
    out[n++] = kIac;
    out[n++] = kSb;
    out[n++] = kComPort;
    out[n++] = command;
    size_t taken = 0;
    n += TelnetEscape(value, valueLength, &taken, out + n, size - n - 2);
    if (taken != valueLength) return 0;
    out[n++] = kIac;
    out[n++] = kSe;
    return n;
}

size_t ComPortLineSettings(unsigned long baudRate, unsigned char* out, size_t size) {
    const unsigned char baud[4] = {
        static_cast<unsigned char>(baudRate >> 24), static_cast<unsigned char>(baudRate >> 16),
        static_cast<unsigned char>(baudRate >> 8), static_cast<unsigned char>(baudRate)};
    const unsigned char dataSize = 8, parity = kParityNone, stopSize = kOneStopBit;
    const unsigned char noFlowOut = kNoFlowOut, noFlowIn = kNoFlowIn, dtrOn = kDtrOn, rtsOn = kRtsOn;
    const struct {
        unsigned char command;
        const unsigned char* value;
        size_t length;
    } settings[] = {
        {kSetBaudRate, baud, sizeof baud}, {kSetDataSize, &dataSize, 1}, {kSetParity, &parity, 1},
        {kSetStopSize, &stopSize, 1},      {kSetControl, &noFlowOut, 1}, {kSetControl, &noFlowIn, 1},
        {kSetControl, &dtrOn, 1},          {kSetControl, &rtsOn, 1},
    };
    size_t n = 0;
    for (const auto& setting : settings) {
        const size_t k = ComPortCommand(setting.command, setting.value, setting.length, out + n, size - n);
        if (k == 0) return 0;
        n += k;
    }
    return n;
}
