// Telnet and RFC 2217 byte strings for the tests, written out so that what
// goes over the wire can be compared byte for byte.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

// Relative, so that test targets without the project root on their include
// path (the Wine ones) can use this header too.
#include "../serial/Telnet.h"

typedef std::basic_string<unsigned char> Bytes;

// Bytes from ints, so that Telnet constants and plain numbers mix freely.
inline Bytes B(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values) b += static_cast<unsigned char>(v);
    return b;
}

// A COM port subnegotiation, IAC SB 44 command value IAC SE, with `value`
// sent as it is (an 0xFF in it is not doubled), so a test can also write
// one that a correct peer would never send.
inline Bytes ComPortSub(int command, const Bytes& value) {
    return B({telnet::kIac, telnet::kSb, telnet::kComPort, command}) + value + B({telnet::kIac, telnet::kSe});
}

// The length of the client's opening Telnet offer: five requests of three
// bytes (WILL and DO BINARY, WILL and DO SUPPRESS-GO-AHEAD, WILL
// COM-PORT-OPTION). A server of a test's own reads this much, and no more,
// before it answers: asking for more would hold it until its time-out.
const size_t kClientOfferLength = 5 * 3;
