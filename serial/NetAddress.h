// Network port names: "rfc2217://HOST:PORT" (Telnet with COM Port Control)
// and "socket://HOST:PORT" (raw TCP), taken apart without any network call
// so tests and the fuzz target can check every rule directly.
#pragma once

#include <cstddef>

#include "../common/PortNames.h"  // IsNetworkName's definition

enum class NetScheme { kRfc2217, kSocket };

struct NetAddress {
    NetScheme scheme;
    char host[256];  // a name, a dotted IPv4 address, or an IPv6 address without its brackets
    char port[6];    // decimal, 1 to 65535, no leading zeros kept
};

// Whether a port name is a network port's (it contains "://"); such a name
// is opened over the network or not at all.
bool IsNetworkName(const char* name);

// Takes apart "SCHEME://HOST:PORT". The scheme is rfc2217 or socket (in any
// case); HOST is a name or IPv4 address of letters, digits, '-', '.' and
// '_', or an IPv6 address in brackets ("[::1]"); PORT is a decimal number
// from 1 to 65535. Nothing may follow the port. Returns false for any other
// form; `address` is then unspecified.
bool ParseNetAddress(const char* name, NetAddress* address);
