// Network port names: "rfc2217://HOST:PORT" (Telnet with COM Port Control)
// and "socket://HOST:PORT" (raw TCP), and the same two inside TLS,
// "rfc2217+tls://HOST:PORT?QUERY" and "socket+tls://HOST:PORT?QUERY",
// taken apart without any network call so tests and the fuzz target can
// check every rule directly. Also the reason texts of a network port that
// did not open, one pure function for both platforms.
#pragma once

#include <cstddef>

#include "../common/PortNames.h"  // IsNetworkName's definition

enum class NetScheme { kRfc2217, kSocket };

struct NetAddress {
    NetScheme scheme;
    bool tls;        // the "+tls" form of the scheme
    char host[256];  // a name, a dotted IPv4 address, or an IPv6 address without its brackets
    char port[6];    // decimal, 1 to 65535, no leading zeros kept
    // The query's values, percent-decoded; "" when not given.
    char ca[256];    // the authorities to trust (PEM); "": the system's roots
    char cert[256];  // the client's certificate (PEM, chain allowed)
    char key[256];   // its private key (PEM)
    char name[256];  // the name the server's certificate must carry; HOST when not given
    // Why the name was refused (for the reason line): "" for a name that
    // parsed, else a short phrase without a final full stop.
    char problem[96];
};

// Whether a port name is a network port's (it contains "://"); such a name
// is opened over the network or not at all.
bool IsNetworkName(const char* name);

// Takes apart "SCHEME://HOST:PORT" and "SCHEME+tls://HOST:PORT?QUERY". The
// scheme is rfc2217 or socket, with or without "+tls" (in any case); HOST
// is a name or IPv4 address of letters, digits, '-', '.' and '_', or an
// IPv6 address in brackets ("[::1]"); PORT is a decimal number from 1 to
// 65535. Nothing may follow the port but, on a +tls scheme, a query after
// '?': parameters ca, cert, key and name as PARAMETER=VALUE joined by '&',
// in any order, each at most once, cert and key both or neither. A value
// ends at the next '&' and is percent-decoded (%41 is 'A'); any other
// character stands for itself, so a Windows path works as written. Returns
// false for any other form, with address->problem saying what is wrong;
// the other fields are then unspecified.
bool ParseNetAddress(const char* name, NetAddress* address);

// Why a network port did not open.
enum class NetFailure {
    kNone,
    kUrl,                   // detail: the URL's problem (NetAddress::problem)
    kRefused,               // the connection was refused
    kNameNotFound,          // detail: the host
    kUnreachable,           // no route to the host, or another connect error
    kNoAnswer,              // nothing within the open deadline
    kNegotiationRefused,    // RFC 2217 options or line settings refused
    kClosed,                // the server closed the connection at once
    kFileUnreadable,        // detail: the file
    kFileUnparsable,        // detail: the file
    kKeyMismatch,           // detail: the key's file
    kUntrusted,             // the server's certificate does not chain to the authorities
    kExpired,               // ... is outside its dates
    kWrongName,             // detail: the name it must carry
    kHandshakeClosed,       // the server ended the TLS handshake
    kClosedAfterHandshake,  // ... or the connection right after it
    kNoTls,                 // the server's answer is not TLS
    kTlsFailed,             // any other failure of the handshake
};

// The reason line's text for `failure` (a sentence that ends in '.', with
// no indentation and no line feed), written into out (cut to fit, always
// terminated). `detail` is what the failure names (see above), else unused.
// Returns out.
char* NetFailureText(NetFailure failure, const char* detail, char* out, size_t size);
