// Network ports: the connection, the TLS handshake for the +tls schemes,
// the Telnet negotiation for rfc2217://, and reads and writes that keep a
// local port's time-outs. Sockets are non-blocking throughout; every wait
// is a poll (select on Windows) with a deadline, so no server can hold the
// tool longer than its time-outs.
#include "NetLink.h"

#include <climits>
#include <cstring>

#include "NetAddress.h"
#include "ReadDeadline.h"
#include "Tls.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef TESSAN_NO_TLS
// A build without a TLS backend: NetOpen refuses the +tls schemes before a
// session could exist, so no link ever holds one and these see only null.
bool TlsBuffered(const TlsSession*) { return false; }
TlsStep TlsHandshake(TlsSession*, NetSocket, TlsFailure* failure) {
    *failure = TlsFailure::kOther;
    return TlsStep::kFailed;
}
TlsStep TlsSend(TlsSession*, NetSocket, const unsigned char*, size_t, size_t*) { return TlsStep::kFailed; }
TlsStep TlsReceive(TlsSession*, NetSocket, unsigned char*, size_t, size_t*) { return TlsStep::kFailed; }
void TlsFree(TlsSession*, NetSocket) {}
#endif

namespace {

// How long a connection may take to be accepted, and then the Telnet
// negotiation to be answered: both short enough that the re-open loop
// keeps printing its dots while a server is down. Over TLS one deadline of
// kConnectMs covers the connection, the handshake and the negotiation, so
// a server that stalls in the handshake gets no longer.
const long long kConnectMs = 2000;
const long long kNegotiationMs = 2000;
// How long a raw connection is watched for the server closing it at once,
// which is how a serial server reports a device it could not open. Over
// TLS a little longer: with TLS 1.3 a server that refuses the client's
// certificate says so only after the client's handshake has ended, by
// closing the connection.
const long long kSettleMs = 100;
const long long kTlsSettleMs = 250;
// A write that the server takes no byte of for this long fails: it has
// stopped reading, and waiting longer would hang the tool.
const long long kWriteStallMs = 5000;

// ---- The few places where Winsock and POSIX sockets differ ----

#ifdef _WIN32
long long NowMs() { return static_cast<long long>(GetTickCount64()); }

bool Startup() {
    static bool started = false;
    WSADATA data;
    if (!started) started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return started;
}

void CloseSocket(NetSocket s) { closesocket(static_cast<SOCKET>(s)); }

bool SetNonBlocking(NetSocket s) {
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}

bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool ConnectPending() { return WSAGetLastError() == WSAEWOULDBLOCK; }
int LastError() { return WSAGetLastError(); }
bool IsRefusal(int error) { return error == WSAECONNREFUSED; }

NetSocket NewSocket(const addrinfo* a) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<NetSocket>(s);
}

// 1 when the socket is ready to read (or write), 0 when `ms` passed, -1 on
// an error. A failed connect shows in the exception set on Windows.
int Wait(NetSocket s, bool write, long long ms) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(static_cast<SOCKET>(s), &ready);
    FD_SET(static_cast<SOCKET>(s), &failed);
    if (ms < 0) ms = 0;
    if (ms > INT_MAX) ms = INT_MAX;
    timeval t;
    t.tv_sec = static_cast<long>(ms / 1000);
    t.tv_usec = static_cast<long>(ms % 1000) * 1000;
    int r = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &t);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

long SendSome(NetSocket s, const unsigned char* buffer, size_t count) {
    int n = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    return send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(buffer), n, 0);
}

long ReceiveRaw(NetSocket s, unsigned char* buffer, size_t count) {
    return recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer), static_cast<int>(count), 0);
}
#else
long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool Startup() { return true; }

void CloseSocket(NetSocket s) { close(s); }

bool SetNonBlocking(NetSocket s) {
    int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
bool ConnectPending() { return errno == EINPROGRESS || errno == EINTR; }
int LastError() { return errno; }
bool IsRefusal(int error) { return error == ECONNREFUSED; }

NetSocket NewSocket(const addrinfo* a) {
    int s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s < 0) return kNoSocket;
    fcntl(s, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return s;
}

int Wait(NetSocket s, bool write, long long ms) {
    struct pollfd p;
    p.fd = s;
    p.events = write ? POLLOUT : POLLIN;
    p.revents = 0;
    if (ms < 0) ms = 0;
    int r = poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    if (r < 0) return errno == EINTR ? 0 : -1;
    // A hang-up or an error counts as ready: the next call reports it.
    return r > 0 ? 1 : 0;
}

long SendSome(NetSocket s, const unsigned char* buffer, size_t count) {
#ifdef MSG_NOSIGNAL
    return static_cast<long>(send(s, buffer, count, MSG_NOSIGNAL));
#else
    return static_cast<long>(send(s, buffer, count, 0));
#endif
}

long ReceiveRaw(NetSocket s, unsigned char* buffer, size_t count) {
    return static_cast<long>(recv(s, buffer, count, 0));
}
#endif

// ---- Connecting ----

// Resolves host and port and connects to the first address that answers
// before `deadline`. Returns the connected, non-blocking socket; kNoSocket
// with the reason in *failure (that of the last address tried).
NetSocket Connect(const char* host, const char* port, long long deadline, NetFailure* failure) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    *failure = NetFailure::kNameNotFound;
    if (getaddrinfo(host, port, &hints, &list) != 0) return kNoSocket;

    *failure = NetFailure::kUnreachable;
    NetSocket connected = kNoSocket;
    for (const addrinfo* a = list; a != nullptr && connected == kNoSocket; a = a->ai_next) {
        NetSocket s = NewSocket(a);
        if (s == kNoSocket) continue;
        bool ok = SetNonBlocking(s);
        if (ok && connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            int error = LastError();
            ok = ConnectPending();
            if (ok && Wait(s, true, deadline - NowMs()) != 1) {
                ok = false;
                error = 0;
                *failure = NetFailure::kNoAnswer;
            }
            socklen_t length = sizeof error;
            ok = ok && getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
                 error == 0;
            if (!ok && error != 0) *failure = IsRefusal(error) ? NetFailure::kRefused : NetFailure::kUnreachable;
        }
        if (ok) {
            // Records and their one-byte answers go out at once, not
            // gathered up by Nagle's algorithm.
            int on = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            connected = s;
        } else {
            CloseSocket(s);
        }
    }
    freeaddrinfo(list);
    if (connected != kNoSocket) *failure = NetFailure::kNone;
    return connected;
}

// ---- Receiving and sending ----

enum class Received { kSome, kNothing, kGone };

// Keeps received data for the reads to come. What does not fit is lost, as
// on a serial port whose input queue is full.
void Keep(NetLink* link, const unsigned char* data, size_t length) {
    if (link->pendingStart == link->pendingEnd) link->pendingStart = link->pendingEnd = 0;
    if (link->pendingStart > 0 && link->pendingEnd + length > NetLink::kPendingSize) {
        memmove(link->pending, link->pending + link->pendingStart, link->pendingEnd - link->pendingStart);
        link->pendingEnd -= link->pendingStart;
        link->pendingStart = 0;
    }
    size_t room = NetLink::kPendingSize - link->pendingEnd;
    if (length > room) length = room;
    memcpy(link->pending + link->pendingEnd, data, length);
    link->pendingEnd += length;
}

bool SendAll(NetLink* link, const unsigned char* buffer, size_t count);

// Sends the queued Telnet replies as far as the socket takes them now; the
// rest waits for the next call. Over TLS all of them: a send that the
// session has begun must be finished with the same bytes before any other.
void FlushReplies(NetLink* link) {
    TelnetState& t = link->telnetState;
    if (t.replyLength == 0) return;
    if (link->tls != nullptr) {
        SendAll(link, t.replies, t.replyLength);
        t.replyLength = 0;  // sent, or the connection is failing and the next read tells
        return;
    }
    long k = SendSome(link->socket, t.replies, t.replyLength);
    if (k > 0) {
        memmove(t.replies, t.replies + k, t.replyLength - static_cast<size_t>(k));
        t.replyLength -= static_cast<size_t>(k);
    } else if (k < 0 && !WouldBlock()) {
        t.replyLength = 0;  // the connection is failing; the next read tells
    }
}

// Waits up to `ms` for the server and takes one batch of what it sent:
// data is kept, commands are answered. kGone once the connection has ended.
Received ReceiveSome(NetLink* link, long long ms) {
    if (link->peerClosed) return Received::kGone;
    unsigned char raw[4096];
    long k = 0;
    if (link->tls != nullptr) {
        // Decrypted data may wait in the session while the socket is silent.
        if (!TlsBuffered(link->tls) && Wait(link->socket, false, ms) == 0) return Received::kNothing;
        size_t got = 0;
        TlsStep step = TlsReceive(link->tls, link->socket, raw, sizeof raw, &got);
        if (step == TlsStep::kWantRead || step == TlsStep::kWantWrite) return Received::kNothing;
        k = step == TlsStep::kDone ? static_cast<long>(got) : 0;
    } else {
        int ready = Wait(link->socket, false, ms);
        if (ready == 0) return Received::kNothing;
        k = ready < 0 ? 0 : ReceiveRaw(link->socket, raw, sizeof raw);
        if (k < 0 && WouldBlock()) return Received::kNothing;
    }
    if (k <= 0) {  // closed by the server, or reset
        link->peerClosed = true;
        return Received::kGone;
    }
    link->heard = true;
    if (link->telnet) {
        unsigned char data[sizeof raw];
        Keep(link, data, TelnetDecode(&link->telnetState, raw, static_cast<size_t>(k), data));
        FlushReplies(link);
    } else {
        Keep(link, raw, static_cast<size_t>(k));
    }
    return Received::kSome;
}

// Sends every byte, waiting while the socket's buffer is full; fails when
// the connection fails or the server takes nothing for kWriteStallMs.
bool SendAll(NetLink* link, const unsigned char* buffer, size_t count) {
    size_t done = 0;
    long long progress = NowMs();
    while (done < count && link->tls != nullptr) {
        size_t sent = 0;
        TlsStep step = TlsSend(link->tls, link->socket, buffer + done, count - done, &sent);
        if (step == TlsStep::kDone) {
            done += sent;
            progress = NowMs();
            continue;
        }
        if (step != TlsStep::kWantRead && step != TlsStep::kWantWrite) return false;
        long long left = progress + kWriteStallMs - NowMs();
        if (left <= 0 || Wait(link->socket, step == TlsStep::kWantWrite, left) < 0) return false;
    }
    while (done < count) {
        long k = SendSome(link->socket, buffer + done, count - done);
        if (k > 0) {
            done += static_cast<size_t>(k);
            progress = NowMs();
            continue;
        }
        if (k < 0 && !WouldBlock()) return false;
        long long left = progress + kWriteStallMs - NowMs();
        if (left <= 0 || Wait(link->socket, true, left) < 0) return false;
    }
    return true;
}

// ---- Opening ----

// Takes, without waiting, what the server has sent already; bounded, so a
// server that keeps sending cannot hold it. A connection that has ended
// meanwhile is left for the reads to report: the settings were confirmed,
// and what came before the end (a target's first bytes, before its port
// vanished) is kept for them.
void TakeWhatHasCome(NetLink* link) {
    for (int i = 0; i < 64 && ReceiveSome(link, 0) == Received::kSome; ++i) {
    }
}

// Whether the server has refused something the transfer cannot do without.
bool Refused(const TelnetState& t, unsigned long baud) {
    return t.comPortRefused || t.binaryRefused || ComPortSettingsRefused(t.answers, baud);
}

// rfc2217://: our options, then the line settings once the server has
// agreed to COM-PORT-OPTION, then its answers, all within kNegotiationMs.
// A server that refuses binary transmission either way is refused in turn:
// records must reach the target byte for byte.
// Open goes on as soon as the rate, data size, parity and stop size are
// confirmed: the bytes on the line depend on those. Answers to the rest
// (flow control, DTR, RTS) are not waited for: servers differ in which they
// send (ser2net answers flow control but not the modem lines, pySerial's
// server leaves inbound flow control unanswered), and a loader that is
// already greeting must not be kept waiting for them. Whatever has come
// with the four is still checked, so a server that reports flow control
// switched on in the same breath is refused.
// The reason for a connection that ended during the open: over TLS, one
// that ended before the server sent anything after its handshake is how a
// server refuses the client's certificate.
NetFailure Ended(const NetLink* link) {
    return link->tls != nullptr && !link->heard ? NetFailure::kClosedAfterHandshake : NetFailure::kClosed;
}

NetFailure NegotiateComPort(NetLink* link, int baudRate, long long deadline) {
    TelnetState& t = link->telnetState;
    unsigned char out[128];
    if (!SendAll(link, out, TelnetOffer(&t, out, sizeof out))) return Ended(link);
    const unsigned long baud = static_cast<unsigned long>(baudRate);
    bool settingsSent = false;
    for (;;) {
        if (Refused(t, baud)) return NetFailure::kNegotiationRefused;
        if (ComPortAgreed(t) && !settingsSent) {
            FlushReplies(link);
            if (!SendAll(link, out, ComPortLineSettings(baud, out, sizeof out))) return Ended(link);
            settingsSent = true;
        }
        if (settingsSent && (t.answers.seen & kAnsweredFraming) == kAnsweredFraming) {
            TakeWhatHasCome(link);
            return Refused(t, baud) ? NetFailure::kNegotiationRefused : NetFailure::kNone;
        }
        long long now = NowMs();
        if (now >= deadline) return settingsSent ? NetFailure::kNone : NetFailure::kNoAnswer;
        if (ReceiveSome(link, deadline - now) == Received::kGone) return Ended(link);
    }
}

// socket://: nothing to negotiate, but a server that could not open its
// device closes the connection at once; watch for that a moment (never
// past the open's deadline).
NetFailure Settle(NetLink* link, long long deadline) {
    const long long settled = NowMs() + (link->tls != nullptr ? kTlsSettleMs : kSettleMs);
    if (settled < deadline) deadline = settled;
    for (long long now = NowMs(); now < deadline; now = NowMs()) {
        if (ReceiveSome(link, deadline - now) == Received::kGone) return Ended(link);
    }
    return NetFailure::kNone;
}

NetFailure FromTls(TlsFailure failure) {
    switch (failure) {
        case TlsFailure::kFileUnreadable: return NetFailure::kFileUnreadable;
        case TlsFailure::kFileUnparsable: return NetFailure::kFileUnparsable;
        case TlsFailure::kKeyMismatch: return NetFailure::kKeyMismatch;
        case TlsFailure::kUntrusted: return NetFailure::kUntrusted;
        case TlsFailure::kExpired: return NetFailure::kExpired;
        case TlsFailure::kWrongName: return NetFailure::kWrongName;
        case TlsFailure::kNoTls: return NetFailure::kNoTls;
        case TlsFailure::kClosed: return NetFailure::kHandshakeClosed;
        case TlsFailure::kNone:
        case TlsFailure::kOther: break;
    }
    return NetFailure::kTlsFailed;
}

// The client's handshake, waiting for the socket as the session asks,
// until `deadline`.
NetFailure Handshake(NetLink* link, long long deadline) {
    for (;;) {
        TlsFailure failure = TlsFailure::kOther;
        TlsStep step = TlsHandshake(link->tls, link->socket, &failure);
        if (step == TlsStep::kDone) return NetFailure::kNone;
        if (step != TlsStep::kWantRead && step != TlsStep::kWantWrite) return FromTls(failure);
        long long left = deadline - NowMs();
        if (left <= 0) return NetFailure::kNoAnswer;
        Wait(link->socket, step == TlsStep::kWantWrite, left);
    }
}

// Fills the reason of a failed open; returns false, for the caller to return.
bool Fail(NetLink* link, NetFailure failure, const char* detail) {
    NetFailureText(failure, detail, link->failure, sizeof link->failure);
    return false;
}

}  // namespace

void NetInit(NetLink* link) {
    link->socket = kNoSocket;
    link->telnet = false;
    link->peerClosed = false;
    link->timeoutMs = 0;
    TelnetReset(&link->telnetState);
    link->pendingStart = link->pendingEnd = 0;
    link->tls = nullptr;
    link->heard = false;
    link->failure[0] = '\0';
}

bool NetOpen(NetLink* link, const char* name, int baudRate, int timeoutMs) {
    if (link->socket != kNoSocket) return false;
    NetInit(link);
    NetAddress address;
    if (!ParseNetAddress(name, &address)) return Fail(link, NetFailure::kUrl, address.problem);
    if (baudRate <= 0 || timeoutMs < 0) return Fail(link, NetFailure::kUrl, "the line settings are not valid");
    if (!Startup()) return Fail(link, NetFailure::kUnreachable, "");

#ifdef TESSAN_NO_TLS
    if (address.tls) return Fail(link, NetFailure::kUrl, "this build has no TLS");
    TlsSession* tls = nullptr;
#else
    // The files first: a client that cannot show what it was told to
    // needs no connection.
    TlsSession* tls = nullptr;
    if (address.tls) {
        TlsConfig config = {address.ca[0] != '\0' ? address.ca : nullptr,
                            address.cert[0] != '\0' ? address.cert : nullptr,
                            address.key[0] != '\0' ? address.key : nullptr, address.name};
        TlsFailure why = TlsFailure::kOther;
        const char* file = nullptr;
        tls = TlsCreate(config, &why, &file);
        if (tls == nullptr) return Fail(link, FromTls(why), file != nullptr ? file : "");
    }
#endif

    const long long start = NowMs();
    NetFailure failure = NetFailure::kNone;
    NetSocket s = Connect(address.host, address.port, start + kConnectMs, &failure);
    if (s == kNoSocket) {
        TlsFree(tls, kNoSocket);
        return Fail(link, failure, address.host);
    }
    link->socket = s;
    link->tls = tls;
    link->telnet = address.scheme == NetScheme::kRfc2217;
    link->timeoutMs = timeoutMs;
    // Plain, the negotiation has a deadline of its own after the connection;
    // over TLS everything shares the one.
    long long deadline = tls != nullptr ? start + kConnectMs : NowMs() + kNegotiationMs;
    if (tls != nullptr) failure = Handshake(link, deadline);
    if (failure == NetFailure::kNone) {
        failure = link->telnet ? NegotiateComPort(link, baudRate, deadline) : Settle(link, deadline);
    }
    if (failure != NetFailure::kNone) {
        NetClose(link);
        return Fail(link, failure, failure == NetFailure::kWrongName ? address.name : address.host);
    }
    return true;
}

void NetClose(NetLink* link) {
    if (link->tls != nullptr) TlsFree(link->tls, link->socket);
    if (link->socket != kNoSocket) CloseSocket(link->socket);
    NetInit(link);
}

size_t NetRead(NetLink* link, unsigned char* buffer, size_t count) {
    if (link->socket == kNoSocket || count == 0) return 0;
    const long long start = NowMs();
    long long lastByte = 0;
    size_t got = 0;
    for (;;) {
        size_t available = link->pendingEnd - link->pendingStart;
        if (available > 0) {
            size_t take = available < count - got ? available : count - got;
            memcpy(buffer + got, link->pending + link->pendingStart, take);
            link->pendingStart += take;
            got += take;
            lastByte = NowMs();
        }
        if (got == count) break;
        long long now = NowMs();
        long long deadline = ReadDeadlineMs(start, link->timeoutMs, count, got, lastByte);
        if (now >= deadline) break;
        // Commands move no deadline: a server that sends nothing but
        // commands cannot keep a read going.
        if (ReceiveSome(link, deadline - now) == Received::kGone) break;
    }
    return got;
}

bool NetWrite(NetLink* link, const unsigned char* buffer, size_t count) {
    if (link->socket == kNoSocket || link->peerClosed) return false;
    if (!link->telnet) return SendAll(link, buffer, count);
    FlushReplies(link);
    // Room for a whole record of 4,085 bytes even if every byte is 0xFF.
    unsigned char escaped[8192];
    size_t done = 0;
    while (done < count) {
        size_t taken = 0;
        size_t n = TelnetEscape(buffer + done, count - done, &taken, escaped, sizeof escaped);
        if (!SendAll(link, escaped, n)) return false;
        done += taken;
    }
    return true;
}

bool NetPurge(NetLink* link) {
    if (link->socket == kNoSocket) return false;
    bool sent = true;
    if (link->telnet) {
        unsigned char command[8];
        sent = SendAll(link, command, ComPortCommand(telnet::kPurgeData, &telnet::kPurgeBoth, 1, command,
                                                     sizeof command));
    }
    // What has arrived so far, here and in the socket; bounded, so a server
    // that keeps sending cannot keep Purge going.
    for (int i = 0; i < 64 && ReceiveSome(link, 0) == Received::kSome; ++i) {
    }
    link->pendingStart = link->pendingEnd = 0;
    return sent;
}
