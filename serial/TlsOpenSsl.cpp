// TLS inside a network port's connection, with OpenSSL 3 (Linux and ARM).
// The session reads and writes the socket through a small BIO of its own,
// which sends with MSG_NOSIGNAL (a server that resets cannot kill the tool
// with SIGPIPE) and remembers what the handshake needs to say why it
// failed: the first byte the server sent, and whether the connection ended.
// OpenSSL's error queue is drained after every call and never printed.
#include "Tls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

struct TlsSession {
    SSL_CTX* context;
    SSL* ssl;
    BIO* bio;
    NetSocket socket;  // the socket of the call under way, for the BIO
    int firstByte;     // the first byte the server sent; -1 before any
    bool ended;        // the connection ended (closed or reset) under a read or write
};

namespace {

// ---- The BIO: the socket, without SIGPIPE ----

// The TLS record types a server's first byte may be: the cipher change,
// alert, handshake, application data.
bool IsTlsRecordType(int byte) { return byte >= 20 && byte <= 23; }

int SocketWrite(BIO* bio, const char* data, int length) {
    TlsSession* session = static_cast<TlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
#ifdef MSG_NOSIGNAL
    ssize_t k = send(session->socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
#else
    ssize_t k = send(session->socket, data, static_cast<size_t>(length), 0);  // SO_NOSIGPIPE is set
#endif
    if (k >= 0) return static_cast<int>(k);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        BIO_set_retry_write(bio);
    } else {
        session->ended = true;
    }
    return -1;
}

int SocketRead(BIO* bio, char* data, int length) {
    TlsSession* session = static_cast<TlsSession*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    ssize_t k = recv(session->socket, data, static_cast<size_t>(length), 0);
    if (k > 0) {
        if (session->firstByte < 0) {
            session->firstByte = static_cast<unsigned char>(data[0]);
            // A server whose first byte starts no TLS record speaks
            // something else: said at once, not after the deadline that
            // waiting for a whole record header would take.
            if (!IsTlsRecordType(session->firstByte)) return -1;
        }
        return static_cast<int>(k);
    }
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
        return -1;
    }
    session->ended = true;
    return k == 0 ? 0 : -1;
}

long SocketControl(BIO* bio, int command, long number, void* pointer) {
    (void)bio;
    (void)number;
    (void)pointer;
    // Flushing has nothing to do: every write goes to the socket at once.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* NewSocketMethod() {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tessan socket");
    if (m == nullptr) return nullptr;
    BIO_meth_set_write(m, SocketWrite);
    BIO_meth_set_read(m, SocketRead);
    BIO_meth_set_ctrl(m, SocketControl);
    BIO_meth_set_create(m, SocketCreate);
    return m;
}

// Made once, for the process's lifetime (a static's initialization is
// safe between threads).
BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = NewSocketMethod();
    return method;
}

// ---- The session's files ----

// No key is encrypted, and none may ever ask for a pass phrase at the
// terminal (OpenSSL's default would).
int NoPassword(char* buffer, int size, int writing, void* user) {
    (void)buffer;
    (void)size;
    (void)writing;
    (void)user;
    return 0;
}

bool Readable(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return false;
    bool ok = fgetc(f) != EOF || !ferror(f);
    fclose(f);
    return ok;
}

bool IsIpAddress(const char* name) {
    unsigned char address[16];
    return inet_pton(AF_INET, name, address) == 1 || inet_pton(AF_INET6, name, address) == 1;
}

// Loads the trusted authorities, the client's certificate and key, and the
// name to check. False with the reason (and the file) said.
bool Configure(TlsSession* session, const TlsConfig& config, TlsFailure* failure, const char** file) {
    SSL_CTX* context = session->context;
    SSL_CTX_set_default_passwd_cb(context, NoPassword);
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) return false;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    const char* files[] = {config.caFile, config.certFile, config.keyFile};
    for (const char* f : files) {
        if (f != nullptr && !Readable(f)) {
            *failure = TlsFailure::kFileUnreadable;
            *file = f;
            return false;
        }
    }
    if (config.caFile != nullptr) {
        if (SSL_CTX_load_verify_locations(context, config.caFile, nullptr) != 1) {
            *failure = TlsFailure::kFileUnparsable;
            *file = config.caFile;
            return false;
        }
    } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
        return false;
    }
    if (config.certFile != nullptr) {
        if (SSL_CTX_use_certificate_chain_file(context, config.certFile) != 1) {
            *failure = TlsFailure::kFileUnparsable;
            *file = config.certFile;
            return false;
        }
        if (config.keyFile == nullptr || SSL_CTX_use_PrivateKey_file(context, config.keyFile, SSL_FILETYPE_PEM) != 1) {
            // A key that was read but is not the certificate's is said so.
            unsigned long error = ERR_peek_last_error();
            bool mismatch = ERR_GET_LIB(error) == ERR_LIB_X509 && ERR_GET_REASON(error) == X509_R_KEY_VALUES_MISMATCH;
            *failure = mismatch ? TlsFailure::kKeyMismatch : TlsFailure::kFileUnparsable;
            *file = config.keyFile;
            return false;
        }
        if (SSL_CTX_check_private_key(context) != 1) {
            *failure = TlsFailure::kKeyMismatch;
            *file = config.keyFile;
            return false;
        }
    }

    session->ssl = SSL_new(context);
    session->bio = session->ssl != nullptr && SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (session->bio == nullptr) return false;
    BIO_set_data(session->bio, session);
    SSL_set_bio(session->ssl, session->bio, session->bio);  // the SSL owns it from here
    SSL_set_connect_state(session->ssl);

    // The name the certificate must carry: an address among its IP
    // addresses, a DNS name among its names (and sent as SNI).
    if (IsIpAddress(config.name)) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session->ssl), config.name) != 1) return false;
    } else {
        SSL_set_hostflags(session->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(session->ssl, config.name) != 1) return false;
        if (SSL_set_tlsext_host_name(session->ssl, config.name) != 1) return false;
    }
    return true;
}

// ---- Why a handshake failed ----

TlsFailure FromVerifyResult(long result) {
    switch (result) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return TlsFailure::kExpired;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return TlsFailure::kWrongName;
        default:
            return TlsFailure::kUntrusted;
    }
}

TlsFailure HandshakeFailure(const TlsSession* session) {
    long verified = SSL_get_verify_result(session->ssl);
    if (verified != X509_V_OK) return FromVerifyResult(verified);
    if (session->firstByte >= 0 && !IsTlsRecordType(session->firstByte)) return TlsFailure::kNoTls;
    if (session->ended) return TlsFailure::kClosed;
    // A fatal alert from the server during the handshake about a
    // certificate (or its lack): the server refused ours. Other alerts (a
    // protocol version it will not speak) are other failures.
    unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) >= SSL_AD_REASON_OFFSET) {
        switch (ERR_GET_REASON(error) - SSL_AD_REASON_OFFSET) {
            case SSL_AD_HANDSHAKE_FAILURE:
            case SSL_AD_BAD_CERTIFICATE:
            case SSL_AD_UNSUPPORTED_CERTIFICATE:
            case SSL_AD_CERTIFICATE_REVOKED:
            case SSL_AD_CERTIFICATE_EXPIRED:
            case SSL_AD_CERTIFICATE_UNKNOWN:
            case SSL_AD_UNKNOWN_CA:
            case SSL_AD_ACCESS_DENIED:
            case SSL_AD_CERTIFICATE_REQUIRED:
                return TlsFailure::kClosed;
            default:
                return TlsFailure::kOther;
        }
    }
    if (ERR_GET_LIB(error) == ERR_LIB_SSL && (ERR_GET_REASON(error) == SSL_R_WRONG_VERSION_NUMBER ||
                                              ERR_GET_REASON(error) == SSL_R_PACKET_LENGTH_TOO_LONG ||
                                              ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        return ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING ? TlsFailure::kClosed : TlsFailure::kNoTls;
    }
    return TlsFailure::kOther;
}

// What one SSL call's result means for NetLink.
TlsStep StepOf(TlsSession* session, int result) {
    switch (SSL_get_error(session->ssl, result)) {
        case SSL_ERROR_NONE: return TlsStep::kDone;
        case SSL_ERROR_WANT_READ: return TlsStep::kWantRead;
        case SSL_ERROR_WANT_WRITE: return TlsStep::kWantWrite;
        case SSL_ERROR_ZERO_RETURN: return TlsStep::kClosed;
        case SSL_ERROR_SYSCALL: return session->ended ? TlsStep::kClosed : TlsStep::kFailed;
        default: return session->ended ? TlsStep::kClosed : TlsStep::kFailed;
    }
}

}  // namespace

TlsSession* TlsCreate(const TlsConfig& config, TlsFailure* failure, const char** file) {
    *failure = TlsFailure::kOther;
    *file = nullptr;
    TlsSession* session = new TlsSession();
    session->context = SSL_CTX_new(TLS_client_method());
    session->ssl = nullptr;
    session->bio = nullptr;
    session->socket = kNoSocket;
    session->firstByte = -1;
    session->ended = false;
    bool ok = session->context != nullptr && Configure(session, config, failure, file);
    ERR_clear_error();
    if (!ok) {
        TlsFree(session, kNoSocket);
        return nullptr;
    }
    *failure = TlsFailure::kNone;
    return session;
}

TlsStep TlsHandshake(TlsSession* session, NetSocket s, TlsFailure* failure) {
    session->socket = s;
    ERR_clear_error();
    int result = SSL_do_handshake(session->ssl);
    TlsStep step = result == 1 ? TlsStep::kDone : StepOf(session, result);
    if (step == TlsStep::kClosed || step == TlsStep::kFailed) *failure = HandshakeFailure(session);
    // A session that the handshake left below TLS 1.2 cannot happen (the
    // minimum is set), but nothing unproven may pass as done.
    if (step == TlsStep::kDone && SSL_get_verify_result(session->ssl) != X509_V_OK) {
        *failure = FromVerifyResult(SSL_get_verify_result(session->ssl));
        step = TlsStep::kFailed;
    }
    ERR_clear_error();
    return step;
}

TlsStep TlsSend(TlsSession* session, NetSocket s, const unsigned char* buffer, size_t count, size_t* sent) {
    session->socket = s;
    *sent = 0;
    if (count == 0) return TlsStep::kDone;
    ERR_clear_error();
    int result = SSL_write_ex(session->ssl, buffer, count, sent) == 1 ? 1 : 0;
    TlsStep step = result == 1 ? TlsStep::kDone : StepOf(session, result);
    ERR_clear_error();
    return step;
}

TlsStep TlsReceive(TlsSession* session, NetSocket s, unsigned char* buffer, size_t count, size_t* received) {
    session->socket = s;
    *received = 0;
    ERR_clear_error();
    int result = SSL_read_ex(session->ssl, buffer, count, received) == 1 ? 1 : 0;
    TlsStep step = result == 1 ? TlsStep::kDone : StepOf(session, result);
    ERR_clear_error();
    return step;
}

bool TlsBuffered(const TlsSession* session) {
    return session != nullptr && session->ssl != nullptr &&
           (SSL_pending(session->ssl) > 0 || SSL_has_pending(session->ssl) == 1);
}

void TlsFree(TlsSession* session, NetSocket s) {
    if (session == nullptr) return;
    if (session->ssl != nullptr) {
        if (s != kNoSocket && SSL_is_init_finished(session->ssl)) {
            session->socket = s;
            SSL_shutdown(session->ssl);  // the close notification, if the socket takes it now
        }
        SSL_free(session->ssl);  // and its BIO
    }
    SSL_CTX_free(session->context);
    ERR_clear_error();
    delete session;
}
