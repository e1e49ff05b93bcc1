// TLS inside a network port's connection ("rfc2217+tls://", "socket+tls://"):
// one narrow interface with one source per platform (TlsOpenSsl.cpp on Linux,
// TlsSchannel.cpp on Windows, the system's own TLS). NetLink owns the socket,
// every wait and every deadline; nothing here blocks: a call that needs the
// socket to become readable or writable says so, and NetLink waits (within
// its deadline) and calls again.
#pragma once

#include <cstddef>

#include "NetLink.h"

// What the server must prove, and what the client shows. The paths are
// files of PEM text as the URL's query named them.
struct TlsConfig {
    const char* caFile;    // the authorities to trust; null: the system's roots
    const char* certFile;  // the client's certificate (chain allowed); null: none
    const char* keyFile;   // its unencrypted private key; null exactly when certFile is
    const char* name;      // the DNS name or IP address the server's certificate must carry
};

// Why a session could not be made or a handshake failed. NetLink turns
// these into the reason line (NetFailureText), the same on every platform.
enum class TlsFailure {
    kNone,
    kFileUnreadable,  // *file: a file that cannot be read
    kFileUnparsable,  // *file: a file whose PEM is not a certificate or key
    kKeyMismatch,     // the key does not belong to the certificate
    kUntrusted,       // the server's certificate does not chain to the trusted authorities
    kExpired,         // ... is expired or not yet valid
    kWrongName,       // ... does not carry the name
    kNoTls,           // the server's answer is not TLS
    kClosed,          // the server ended the connection during the handshake
    kOther,           // any other failure of the handshake
};

enum class TlsStep {
    kDone,       // finished (a handshake), or some bytes moved (send, receive)
    kWantRead,   // wait until the socket is readable, then call again
    kWantWrite,  // wait until the socket is writable, then call again
    kClosed,     // the server has ended the TLS session or the connection
    kFailed,     // a fatal error; the session is of no more use
};

struct TlsSession;

// A session for `config`, its files read and checked. Null on failure, with
// the reason in *failure and, for a file, its path in *file (a pointer into
// config).
TlsSession* TlsCreate(const TlsConfig& config, TlsFailure* failure, const char** file);

// One step of the client's handshake over the connected, non-blocking
// socket `s`. kDone once the server is proven: TLS 1.2 or later, its
// certificate chained to the trusted authorities, within its dates and
// carrying the name. On kFailed or kClosed, *failure says why.
TlsStep TlsHandshake(TlsSession* session, NetSocket s, TlsFailure* failure);

// Sends up to `count` bytes of data; *sent gets how many were taken (only
// with kDone). A partial send continues with the rest.
TlsStep TlsSend(TlsSession* session, NetSocket s, const unsigned char* buffer, size_t count, size_t* sent);

// Receives up to `count` bytes of data; *received gets how many (only with
// kDone, then at least one).
TlsStep TlsReceive(TlsSession* session, NetSocket s, unsigned char* buffer, size_t count, size_t* received);

// Whether decrypted data, or received bytes not yet decrypted, wait inside
// the session: the socket may then be silent although a receive would
// give data, so NetLink does not wait on the socket before it has asked.
bool TlsBuffered(const TlsSession* session);

// Sends the close notification if it can without waiting, and frees the
// session. Harmless with null.
void TlsFree(TlsSession* session, NetSocket s);
