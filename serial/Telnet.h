// The Telnet side of a network port (RFC 854 with RFC 2217's COM Port
// Control option): a decoder that splits what a server sends into data and
// commands, answers its option requests, and notes its COM port answers;
// and the encoders for what the client sends. Pure code on fixed buffers,
// shared by both ComPort backends; any byte sequence from a server is
// safe to feed it.
#pragma once

#include <cstddef>

namespace telnet {

const unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
const unsigned char kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPort = 44;

// COM Port Control commands as the client sends them; a server answers
// with the number + 100.
const unsigned char kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5,
                    kPurgeData = 12;
const unsigned char kServerOffset = 100;
// Values of the above.
const unsigned char kParityNone = 1, kOneStopBit = 1;
const unsigned char kNoFlowOut = 1, kDtrOn = 8, kRtsOn = 11, kNoFlowIn = 14;
const unsigned char kPurgeBoth = 3;

}  // namespace telnet

// Which of the line settings a server has answered, as bits of
// ComPortAnswers::seen.
enum : unsigned {
    kAnsweredBaudRate = 1u << 0,
    kAnsweredDataSize = 1u << 1,
    kAnsweredParity = 1u << 2,
    kAnsweredStopSize = 1u << 3,
    kAnsweredFlowOut = 1u << 4,
    kAnsweredFlowIn = 1u << 5,
    kAnsweredLineSettings = (1u << 6) - 1,  // all of the above
    // What the bytes on the line depend on: rate and framing. Flow control
    // a server may leave unanswered (pySerial's does for inbound).
    kAnsweredFraming = kAnsweredBaudRate | kAnsweredDataSize | kAnsweredParity | kAnsweredStopSize,
};

// The values in force that a server reported for the line settings.
struct ComPortAnswers {
    unsigned seen;
    unsigned long baudRate;
    unsigned char dataSize, parity, stopSize, flowOut, flowIn;
};

struct TelnetState {
    static const size_t kMaxSubnegotiation = 32;  // longer ones are skipped whole
    static const size_t kMaxReplies = 192;        // replies that do not fit are dropped whole

    int state;                      // where in a command the decoder is
    unsigned char verb;             // the WILL, WONT, DO or DONT being read
    unsigned char sub[kMaxSubnegotiation];
    size_t subLength;
    bool subTooLong;

    // Per option we take part in (BINARY, SUPPRESS-GO-AHEAD, COM-PORT-OPTION),
    // a bit each: on at our end, on at the server's end, requested by us
    // and not yet answered.
    unsigned char localOn, remoteOn, localAsked, remoteAsked;
    bool comPortRefused;  // the server said DONT COM-PORT-OPTION
    // The server said DONT or WONT BINARY: without binary transmission
    // Telnet may turn a CR followed by a zero into a bare CR, which would
    // corrupt a record, so such a server cannot be used.
    bool binaryRefused;

    ComPortAnswers answers;

    // Replies to the server's requests, waiting to be sent.
    unsigned char replies[kMaxReplies];
    size_t replyLength;
};

// A fresh decoder for a new connection.
void TelnetReset(TelnetState* state);

// Writes our opening requests (WILL and DO BINARY, WILL and DO
// SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION) to `out` and notes them as asked.
// Returns the length, 0 when `size` is too small.
size_t TelnetOffer(TelnetState* state, unsigned char* out, size_t size);

// Decodes `length` received bytes: data bytes go to `data` (room for
// `length` bytes is enough: a received byte gives at most one), commands
// are consumed, option requests get their answers queued in
// state->replies, and COM port answers are noted in state->answers.
// Returns the number of data bytes.
size_t TelnetDecode(TelnetState* state, const unsigned char* in, size_t length, unsigned char* data);

// Whether the server agreed to COM-PORT-OPTION (it said DO).
bool ComPortAgreed(const TelnetState& state);

// Whether an answer reports a line setting other than the one asked for
// (baudRate, 8 data bits, no parity, 1 stop bit, no flow control).
bool ComPortSettingsRefused(const ComPortAnswers& answers, unsigned long baudRate);

// Copies data bytes from in[0..length) to `out`, each 0xFF doubled, as far
// as they fit in `size`; never splits a doubled byte. *consumed gets the
// number of data bytes taken. Returns the bytes written.
size_t TelnetEscape(const unsigned char* in, size_t length, size_t* consumed, unsigned char* out, size_t size);

// Writes the COM Port Control command IAC SB 44 `command` value IAC SE, 0xFF
// in the value doubled. Returns its length, 0 when it does not fit.
size_t ComPortCommand(unsigned char command, const unsigned char* value, size_t valueLength, unsigned char* out,
                      size_t size);

// Writes the commands that set the line to baudRate 8N1, no flow control,
// DTR and RTS on. Returns their length, 0 when `size` is too small.
size_t ComPortLineSettings(unsigned long baudRate, unsigned char* out, size_t size);
