// A network port: a TCP connection to a serial server, raw ("socket://") or
// Telnet with COM Port Control ("rfc2217://"), either of them inside TLS
// ("socket+tls://", "rfc2217+tls://"), with the same five operations and
// the same read time-outs as a local port. ComPort's two backends hand
// names that contain "://" to these functions; the socket calls differ
// between POSIX and Winsock only in a few spots inside, and TLS sits
// behind Tls.h, one source per platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Telnet.h"

#ifdef _WIN32
typedef uintptr_t NetSocket;  // a Winsock SOCKET
#else
typedef int NetSocket;        // a file descriptor
#endif
const NetSocket kNoSocket = static_cast<NetSocket>(-1);

struct TlsSession;

struct NetLink {
    static const size_t kPendingSize = 4096;  // received data not yet read; a serial port's queue is 1,024

    NetSocket socket;  // kNoSocket when closed
    bool telnet;       // rfc2217:// (else socket://)
    bool peerClosed;   // the server has closed its side
    int timeoutMs;     // the read time-out T
    TelnetState telnetState;
    unsigned char pending[kPendingSize];
    size_t pendingStart, pendingEnd;
    TlsSession* tls;   // the TLS session of a +tls port, else null
    bool heard;        // the server has sent something since the connection was made (or proven)
    // Why the last NetOpen failed, as the reason line says it
    // (NetFailureText); "" after a successful one.
    char failure[320];
};

// A closed link.
void NetInit(NetLink* link);

// Connects to the port named `name` (see NetAddress.h), for a +tls scheme
// makes the server prove itself in a TLS handshake, and, for rfc2217://,
// negotiates the options and sets the line to baudRate 8N1, no flow
// control, DTR and RTS on. Every step is bounded in time. Returns false,
// leaving the link closed and the reason in link->failure, for a malformed
// name or an unknown scheme, a server that cannot be reached or refuses,
// one that closes the connection at once (a raw server whose device is
// missing does: see ComPort.h), one that refuses COM-PORT-OPTION or reports
// other line settings than asked, and for every TLS failure: a file that
// cannot be read, a server that is not proven, one that ends the
// connection right after the handshake.
bool NetOpen(NetLink* link, const char* name, int baudRate, int timeoutMs);

// Closes the connection if there is one; harmless on a closed link.
void NetClose(NetLink* link);

// As ComPort::Read and ComPort::Write, counted on data bytes only.
size_t NetRead(NetLink* link, unsigned char* buffer, size_t count);
bool NetWrite(NetLink* link, const unsigned char* buffer, size_t count);

// rfc2217://: asks the server to purge both its buffers. Both schemes drop
// the data received so far. False when the request could not be sent.
bool NetPurge(NetLink* link);
