// TLS for network ports on Windows: the system's own Schannel through SSPI,
// and CryptoAPI for the certificates. The server's certificate is checked
// after the handshake and before anything else goes out, against the
// authorities in the `ca` file or the system's roots (TlsSchannelVerify.cpp);
// the client's certificate and key come from PEM files (TlsSchannelPem.cpp)
// and the key lives in a temporary key container that is deleted with the
// session. Every step works on the non-blocking socket and says what it
// waits for.
#include "Tls.h"
#include "TlsBytes.h"

#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
// SCH_CREDENTIALS and TLS_PARAMETERS, which need UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

// After winsock2.h, which must come before windows.h.
#include "TlsSchannelPem.h"
#include "TlsSchannelVerify.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The most that waits undecrypted: records are at most 16 KiB of data
// plus their overhead, handshake messages a little more.
const size_t kMaxInput = 1 << 18;

// ---- The session ----

enum class Io { kDone, kWait, kClosed };

}  // namespace

struct TlsSession {
    CredHandle credentials;
    bool haveCredentials;
    CtxtHandle context;
    bool haveContext;
    bool handshakeDone;  // the handshake finished and the server is proven
    bool proven;         // the first handshake did: the record watch is over
    bool tokensDone;     // Schannel's part of the handshake finished
    bool needRead;       // the next handshake step needs more bytes first
    int retries;         // calls again without new input (client credentials)
    HCERTSTORE trusted;  // the `ca` authorities; null: the system's roots
    PCCERT_CONTEXT clientCertificate;
    HCERTSTORE clientStore;  // the client's chain
    HCRYPTPROV keyProvider;
    std::wstring keyContainer;  // the temporary container; empty when none
    std::string name;
    SecPkgContext_StreamSizes sizes;
    TlsRecordWatch watch;
    std::vector<unsigned char> input;  // received, not yet decrypted
    size_t inputLength;
    std::vector<unsigned char> output;  // encrypted, not yet sent
    size_t outputStart, outputEnd;
    size_t outputTaken;  // data bytes the pending record carries (TlsSend)
    std::vector<unsigned char> plain;  // decrypted, not yet read
    size_t plainStart, plainEnd;
    bool ended;  // the server ended the session
};

namespace {

TlsSession* NewSession() {
    TlsSession* s = new TlsSession();
    SecInvalidateHandle(&s->credentials);
    SecInvalidateHandle(&s->context);
    s->haveCredentials = false;
    s->haveContext = false;
    s->handshakeDone = false;
    s->proven = false;
    s->tokensDone = false;
    s->needRead = false;
    s->retries = 0;
    s->trusted = NULL;
    s->clientCertificate = NULL;
    s->clientStore = NULL;
    s->keyProvider = 0;
    memset(&s->sizes, 0, sizeof s->sizes);
    TlsWatchInit(&s->watch);
    s->input.resize(2 * (16384 + 2048));
    s->inputLength = 0;
    s->outputStart = s->outputEnd = 0;
    s->outputTaken = 0;
    s->plainStart = s->plainEnd = 0;
    s->ended = false;
    return s;
}

void DeleteSession(TlsSession* s) {
    if (s->haveContext) DeleteSecurityContext(&s->context);
    if (s->haveCredentials) FreeCredentialsHandle(&s->credentials);
    if (s->clientCertificate) CertFreeCertificateContext(s->clientCertificate);
    if (s->clientStore) CertCloseStore(s->clientStore, 0);
    if (s->trusted) CertCloseStore(s->trusted, 0);
    if (s->keyProvider) CryptReleaseContext(s->keyProvider, 0);
    if (!s->keyContainer.empty()) {
        // Leaves nothing behind in the user's key store.
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, s->keyContainer.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                             CRYPT_DELETEKEYSET | CRYPT_SILENT);
    }
    if (!s->plain.empty()) SecureZeroMemory(s->plain.data(), s->plain.size());
    delete s;
}

// Puts the key into a new key container of its own (Schannel signs with
// a key it can find by the certificate's key property; a verify-only
// context has no name to find it by) and ties it to the certificate.
TlsFailure AttachKey(TlsSession* s, const std::vector<BYTE>& blob) {
    static LONG serial = 0;
    wchar_t container[96];
    _snwprintf(container, sizeof container / sizeof container[0], L"tessan-tls-%lu-%llu-%ld",
               static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long long>(GetTickCount64()),
               static_cast<long>(InterlockedIncrement(&serial)));
    container[sizeof container / sizeof container[0] - 1] = 0;
    if (!CryptAcquireContextW(&s->keyProvider, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_NEWKEYSET | CRYPT_SILENT)) {
        s->keyProvider = 0;
        return TlsFailure::kOther;
    }
    s->keyContainer = container;

    HCRYPTKEY key = 0;
    // Exportable: Wine's Schannel hands the key to its TLS library that way.
    if (!CryptImportKey(s->keyProvider, blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, &key))
        return TlsFailure::kFileUnparsable;
    CryptDestroyKey(key);

    // The key must be the certificate's: compare their public halves.
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(s->keyProvider, AT_KEYEXCHANGE, X509_ASN_ENCODING, NULL, &size))
        return TlsFailure::kOther;
    std::vector<BYTE> info(size);
    CERT_PUBLIC_KEY_INFO* pub = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    if (!CryptExportPublicKeyInfo(s->keyProvider, AT_KEYEXCHANGE, X509_ASN_ENCODING, pub, &size))
        return TlsFailure::kOther;
    if (!CertComparePublicKeyInfo(X509_ASN_ENCODING, &s->clientCertificate->pCertInfo->SubjectPublicKeyInfo, pub))
        return TlsFailure::kKeyMismatch;

    CRYPT_KEY_PROV_INFO where;
    memset(&where, 0, sizeof where);
    where.pwszContainerName = container;
    where.pwszProvName = const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W);
    where.dwProvType = PROV_RSA_AES;
    where.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(s->clientCertificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &where))
        return TlsFailure::kOther;
    return TlsFailure::kNone;
}

// One attempt at the session's credentials with `credentials`, an
// SCH_CREDENTIALS or an SCHANNEL_CRED holding its form's own fields: those
// both forms have are filled in here.
template <typename Credentials>
bool AcquireWith(TlsSession* s, Credentials* credentials, DWORD version, PCCERT_CONTEXT* certificate) {
    credentials->dwVersion = version;
    credentials->dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    credentials->cCreds = *certificate ? 1 : 0;
    credentials->paCred = *certificate ? certificate : NULL;
    TimeStamp expiry;
    if (AcquireCredentialsHandleA(NULL, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, NULL, credentials,
                                  NULL, NULL, &s->credentials, &expiry) != SEC_E_OK)
        return false;
    s->haveCredentials = true;
    return true;
}

// Schannel's client credentials: TLS 1.2 and later, no certificate picked
// from the user's stores, the server's certificate left to VerifyServer.
bool AcquireCredentials(TlsSession* s) {
    PCCERT_CONTEXT certificate[1] = {s->clientCertificate};

    // Windows 10 1809 and later (and Wine): SCH_CREDENTIALS, which also
    // allows TLS 1.3.
    TLS_PARAMETERS parameters;
    memset(&parameters, 0, sizeof parameters);
    parameters.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS modern;
    memset(&modern, 0, sizeof modern);
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    if (AcquireWith(s, &modern, SCH_CREDENTIALS_VERSION, certificate)) return true;

    // Older systems: SCHANNEL_CRED, TLS 1.2.
    SCHANNEL_CRED older;
    memset(&older, 0, sizeof older);
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    return AcquireWith(s, &older, SCHANNEL_CRED_VERSION, certificate);
}

// ---- Moving bytes ----

// Sends what waits in s->output.
Io Flush(TlsSession* s, NetSocket sock) {
    while (s->outputStart < s->outputEnd) {
        size_t left = s->outputEnd - s->outputStart;
        int n = send(static_cast<SOCKET>(sock), reinterpret_cast<const char*>(s->output.data() + s->outputStart),
                     left > INT_MAX ? INT_MAX : static_cast<int>(left), 0);
        if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWait : Io::kClosed;
        s->outputStart += static_cast<size_t>(n);
    }
    s->outputStart = s->outputEnd = 0;
    return Io::kDone;
}

void Queue(TlsSession* s, const void* bytes, size_t count) {
    if (count == 0) return;
    if (s->output.size() < s->outputEnd + count) s->output.resize(s->outputEnd + count);
    memcpy(s->output.data() + s->outputEnd, bytes, count);
    s->outputEnd += count;
}

// Receives more bytes after those waiting in s->input.
Io Fill(TlsSession* s, NetSocket sock) {
    if (s->inputLength == s->input.size()) {
        if (s->input.size() >= kMaxInput) return Io::kClosed;
        s->input.resize(s->input.size() * 2);
    }
    size_t room = s->input.size() - s->inputLength;
    int n = recv(static_cast<SOCKET>(sock), reinterpret_cast<char*>(s->input.data() + s->inputLength),
                 room > INT_MAX ? INT_MAX : static_cast<int>(room), 0);
    if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? Io::kWait : Io::kClosed;
    if (n == 0) return Io::kClosed;
    if (!s->proven) TlsWatchFeed(&s->watch, s->input.data() + s->inputLength, static_cast<size_t>(n));
    s->inputLength += static_cast<size_t>(n);
    return Io::kDone;
}

// Keeps the `extra` bytes that end s->input (not yet used by Schannel).
void KeepExtra(TlsSession* s, unsigned long extra) {
    if (extra > s->inputLength) extra = static_cast<unsigned long>(s->inputLength);
    memmove(s->input.data(), s->input.data() + (s->inputLength - extra), extra);
    s->inputLength = extra;
}

// ---- Proving the server ----

// The session's protocol, then the server's certificate.
TlsFailure VerifyServer(TlsSession* s) {
    SecPkgContext_ConnectionInfo info;
    if (QueryContextAttributesA(&s->context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
        (info.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0)
        return TlsFailure::kOther;
    PCCERT_CONTEXT server = NULL;
    if (QueryContextAttributesA(&s->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) != SEC_E_OK || !server)
        return TlsFailure::kUntrusted;
    const TlsFailure result = CheckServerCertificate(server, s->trusted, s->name);
    CertFreeCertificateContext(server);
    return result;
}

// ---- The handshake ----

const ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                            ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION |
                            ISC_REQ_USE_SUPPLIED_CREDS;

// Why Schannel refused the handshake. The watch over the server's records
// tells a server that is no TLS server, and one that ended the handshake
// with an alert: one about certificates is the server refusing ours (or
// its lack). With the server's certificate left to VerifyServer, the
// certificate errors Schannel reports can only be such an alert too (in
// TLS 1.3 the alert comes encrypted, past the watch).
TlsFailure RefusalOf(const TlsSession* s, SECURITY_STATUS status) {
    if (s->watch.notTls) return TlsFailure::kNoTls;
    if (s->watch.alertDescription >= 0)
        return TlsCertificateAlert(s->watch.alertDescription) ? TlsFailure::kClosed : TlsFailure::kOther;
    if (status == SEC_E_CERT_UNKNOWN || status == SEC_E_UNTRUSTED_ROOT || status == SEC_E_CERT_EXPIRED ||
        status == SEC_E_WRONG_PRINCIPAL)
        return TlsFailure::kClosed;
    return TlsFailure::kOther;
}

// One call of InitializeSecurityContext on what waits in s->input; its
// tokens are queued for sending.
SECURITY_STATUS Advance(TlsSession* s) {
    SecBuffer in[2];
    in[0].BufferType = SECBUFFER_TOKEN;
    in[0].pvBuffer = s->input.data();
    in[0].cbBuffer = static_cast<unsigned long>(s->inputLength);
    in[1].BufferType = SECBUFFER_EMPTY;
    in[1].pvBuffer = NULL;
    in[1].cbBuffer = 0;
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};

    SecBuffer out[1];
    out[0].BufferType = SECBUFFER_TOKEN;
    out[0].pvBuffer = NULL;
    out[0].cbBuffer = 0;
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};

    ULONG attributes = 0;
    TimeStamp expiry;
    bool first = !s->haveContext;
    SEC_CHAR* target = const_cast<SEC_CHAR*>(s->name.c_str());
    SECURITY_STATUS status =
        InitializeSecurityContextA(&s->credentials, first ? NULL : &s->context, target, kContextFlags, 0, 0,
                                   first ? NULL : &inDesc, 0, first ? &s->context : NULL, &outDesc, &attributes,
                                   &expiry);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) s->haveContext = true;

    if (out[0].pvBuffer) {
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) Queue(s, out[0].pvBuffer, out[0].cbBuffer);
        FreeContextBuffer(out[0].pvBuffer);
    }
    if (first) return status;
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
        if (in[1].BufferType == SECBUFFER_EXTRA)
            KeepExtra(s, in[1].cbBuffer);
        else
            s->inputLength = 0;
    }
    return status;
}

TlsStep Handshake(TlsSession* s, NetSocket sock, TlsFailure* failure) {
    for (;;) {
        Io sent = Flush(s, sock);
        if (sent == Io::kWait) return TlsStep::kWantWrite;
        if (sent == Io::kClosed) {
            *failure = TlsFailure::kClosed;
            return TlsStep::kClosed;
        }
        if (s->tokensDone) {
            if (!s->handshakeDone) {
                TlsFailure proof = VerifyServer(s);
                if (proof != TlsFailure::kNone) {
                    *failure = proof;
                    return TlsStep::kFailed;
                }
                if (QueryContextAttributesA(&s->context, SECPKG_ATTR_STREAM_SIZES, &s->sizes) != SEC_E_OK) {
                    *failure = TlsFailure::kOther;
                    return TlsStep::kFailed;
                }
                s->handshakeDone = true;
                s->proven = true;
            }
            return TlsStep::kDone;
        }
        if (s->haveContext && (s->needRead || s->inputLength == 0)) {
            Io got = Fill(s, sock);
            if (got == Io::kWait) return TlsStep::kWantRead;
            if (s->watch.notTls) {
                *failure = TlsFailure::kNoTls;
                return TlsStep::kFailed;
            }
            if (got == Io::kClosed) {
                // An alert may have come just before the end.
                *failure = s->watch.alert ? RefusalOf(s, SEC_E_OK) : TlsFailure::kClosed;
                return TlsStep::kClosed;
            }
            s->needRead = false;
        }
        SECURITY_STATUS status = Advance(s);
        if (status == SEC_E_OK) {
            s->tokensDone = true;
        } else if (status == SEC_I_CONTINUE_NEEDED) {
            s->needRead = s->inputLength == 0;
        } else if (status == SEC_E_INCOMPLETE_MESSAGE) {
            s->needRead = true;
        } else if (status == SEC_I_INCOMPLETE_CREDENTIALS && s->retries < 4) {
            // The server asks for a certificate the session has not got:
            // go on without one, and let the server decide.
            ++s->retries;
        } else {
            *failure = RefusalOf(s, status);
            return TlsStep::kFailed;
        }
    }
}

// ---- Data ----

// Decrypts what waits in s->input into s->plain. kDone when some data came
// out, kWait when a whole record has not arrived yet.
TlsStep Decrypt(TlsSession* s, bool* renegotiate) {
    for (;;) {
        if (s->inputLength == 0) return TlsStep::kWantRead;
        SecBuffer b[4];
        b[0].BufferType = SECBUFFER_DATA;
        b[0].pvBuffer = s->input.data();
        b[0].cbBuffer = static_cast<unsigned long>(s->inputLength);
        for (int i = 1; i < 4; ++i) {
            b[i].BufferType = SECBUFFER_EMPTY;
            b[i].pvBuffer = NULL;
            b[i].cbBuffer = 0;
        }
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS status = DecryptMessage(&s->context, &desc, 0, NULL);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return TlsStep::kWantRead;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            s->ended = true;
            return TlsStep::kClosed;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return TlsStep::kFailed;

        SecBuffer* data = NULL;
        SecBuffer* extra = NULL;
        for (int i = 0; i < 4; ++i) {
            if (b[i].BufferType == SECBUFFER_DATA && !data) data = &b[i];
            if (b[i].BufferType == SECBUFFER_EXTRA && !extra) extra = &b[i];
        }
        if (data && data->cbBuffer > 0) {
            // The data lies inside s->input, which the extra bytes move over.
            s->plain.assign(static_cast<unsigned char*>(data->pvBuffer),
                            static_cast<unsigned char*>(data->pvBuffer) + data->cbBuffer);
            s->plainStart = 0;
            s->plainEnd = data->cbBuffer;
        }
        if (extra)
            KeepExtra(s, extra->cbBuffer);
        else
            s->inputLength = 0;
        if (status == SEC_I_RENEGOTIATE) {
            // The server sends handshake messages again (with TLS 1.3: its
            // session tickets); they go through the handshake.
            *renegotiate = true;
            return TlsStep::kDone;
        }
        if (s->plainEnd > s->plainStart) return TlsStep::kDone;
    }
}

}  // namespace

// ---- The interface ----

TlsSession* TlsCreate(const TlsConfig& config, TlsFailure* failure, const char** file) {
    *failure = TlsFailure::kNone;
    *file = NULL;
    TlsSession* s = NewSession();
    s->name = config.name ? config.name : "";
    std::string text;

    if (config.caFile) {
        *file = config.caFile;
        if (!ReadWholeFile(config.caFile, &text)) {
            *failure = TlsFailure::kFileUnreadable;
        } else if (!(s->trusted = CertificatesOf(text, NULL))) {
            *failure = TlsFailure::kFileUnparsable;
        }
    }
    if (*failure == TlsFailure::kNone && config.certFile) {
        *file = config.certFile;
        if (!ReadWholeFile(config.certFile, &text)) {
            *failure = TlsFailure::kFileUnreadable;
        } else if (!(s->clientStore = CertificatesOf(text, &s->clientCertificate))) {
            *failure = TlsFailure::kFileUnparsable;
        }
    }
    if (*failure == TlsFailure::kNone && config.keyFile && s->clientCertificate) {
        *file = config.keyFile;
        std::vector<BYTE> blob;
        if (!ReadWholeFile(config.keyFile, &text)) {
            *failure = TlsFailure::kFileUnreadable;
        } else if (!RsaKeyBlob(text, &blob)) {
            *failure = TlsFailure::kFileUnparsable;
        } else {
            *failure = AttachKey(s, blob);
        }
        if (!blob.empty()) SecureZeroMemory(blob.data(), blob.size());
        if (!text.empty()) SecureZeroMemory(&text[0], text.size());
    }
    if (*failure == TlsFailure::kNone) {
        *file = NULL;
        if (!AcquireCredentials(s)) *failure = TlsFailure::kOther;
    }
    if (*failure == TlsFailure::kKeyMismatch || *failure == TlsFailure::kOther) *file = config.keyFile;
    if (*failure != TlsFailure::kNone) {
        DeleteSession(s);
        return NULL;
    }
    return s;
}

TlsStep TlsHandshake(TlsSession* session, NetSocket s, TlsFailure* failure) {
    *failure = TlsFailure::kNone;
    return Handshake(session, s, failure);
}

TlsStep TlsSend(TlsSession* session, NetSocket s, const unsigned char* buffer, size_t count, size_t* sent) {
    *sent = 0;
    if (!session->proven) return TlsStep::kFailed;
    if (!session->handshakeDone) {
        // The server started the handshake again: finish it first.
        TlsFailure failure;
        TlsStep step = Handshake(session, s, &failure);
        if (step != TlsStep::kDone) return step;
    }
    if (session->outputEnd == 0 && count > 0) {
        // One record of the first bytes; a partial send of it keeps the
        // record, and the next call (with the same bytes) finishes it.
        size_t n = count < session->sizes.cbMaximumMessage ? count : session->sizes.cbMaximumMessage;
        size_t total = session->sizes.cbHeader + n + session->sizes.cbTrailer;
        if (session->output.size() < total) session->output.resize(total);
        unsigned char* record = session->output.data();
        memcpy(record + session->sizes.cbHeader, buffer, n);
        SecBuffer b[4];
        b[0].BufferType = SECBUFFER_STREAM_HEADER;
        b[0].pvBuffer = record;
        b[0].cbBuffer = session->sizes.cbHeader;
        b[1].BufferType = SECBUFFER_DATA;
        b[1].pvBuffer = record + session->sizes.cbHeader;
        b[1].cbBuffer = static_cast<unsigned long>(n);
        b[2].BufferType = SECBUFFER_STREAM_TRAILER;
        b[2].pvBuffer = record + session->sizes.cbHeader + n;
        b[2].cbBuffer = session->sizes.cbTrailer;
        b[3].BufferType = SECBUFFER_EMPTY;
        b[3].pvBuffer = NULL;
        b[3].cbBuffer = 0;
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
        if (EncryptMessage(&session->context, 0, &desc, 0) != SEC_E_OK) return TlsStep::kFailed;
        // The trailer may come out shorter than its most.
        if (b[2].pvBuffer != record + b[0].cbBuffer + b[1].cbBuffer)
            memmove(record + b[0].cbBuffer + b[1].cbBuffer, b[2].pvBuffer, b[2].cbBuffer);
        session->outputStart = 0;
        session->outputEnd = b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer;
        session->outputTaken = n;
    }
    Io out = Flush(session, s);
    if (out == Io::kWait) return TlsStep::kWantWrite;
    if (out == Io::kClosed) return TlsStep::kClosed;
    *sent = session->outputTaken;
    session->outputTaken = 0;
    return TlsStep::kDone;
}

TlsStep TlsReceive(TlsSession* session, NetSocket s, unsigned char* buffer, size_t count, size_t* received) {
    *received = 0;
    if (!session->proven) return TlsStep::kFailed;
    for (;;) {
        if (session->plainEnd > session->plainStart) {
            size_t n = session->plainEnd - session->plainStart;
            if (n > count) n = count;
            memcpy(buffer, session->plain.data() + session->plainStart, n);
            session->plainStart += n;
            *received = n;
            return TlsStep::kDone;
        }
        if (!session->handshakeDone) {
            // The server started the handshake again.
            TlsFailure failure;
            TlsStep step = Handshake(session, s, &failure);
            if (step != TlsStep::kDone) return step;
        }
        if (session->ended) return TlsStep::kClosed;
        bool renegotiate = false;
        TlsStep step = Decrypt(session, &renegotiate);
        if (renegotiate) {
            session->handshakeDone = false;
            session->tokensDone = false;
            session->needRead = false;
            continue;
        }
        if (step == TlsStep::kDone) continue;
        if (step != TlsStep::kWantRead) return step;
        Io got = Fill(session, s);
        if (got == Io::kWait) return TlsStep::kWantRead;
        if (got == Io::kClosed) return TlsStep::kClosed;
    }
}

// Only what a receive can use without the socket counts: decrypted data,
// or a whole record (a part of one needs more bytes from the socket first,
// and saying it waits would keep NetLink from waiting for them).
bool TlsBuffered(const TlsSession* session) {
    if (!session) return false;
    if (session->plainEnd > session->plainStart) return true;
    if (session->inputLength < 5) return false;
    const unsigned char* header = session->input.data();
    size_t length = (static_cast<size_t>(header[3]) << 8) | header[4];
    return session->inputLength >= 5 + length;
}

void TlsFree(TlsSession* session, NetSocket s) {
    if (!session) return;
    if (session->handshakeDone && !session->ended && s != kNoSocket) {
        // The close notification, if the socket takes it now.
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer token = {sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, &token};
        if (ApplyControlToken(&session->context, &tokenDesc) == SEC_E_OK) {
            session->outputStart = session->outputEnd = 0;
            session->tokensDone = false;
            session->needRead = false;
            SecBuffer out = {0, SECBUFFER_TOKEN, NULL};
            SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
            ULONG attributes = 0;
            TimeStamp expiry;
            SECURITY_STATUS status = InitializeSecurityContextA(
                &session->credentials, &session->context, const_cast<SEC_CHAR*>(session->name.c_str()), kContextFlags,
                0, 0, NULL, 0, NULL, &outDesc, &attributes, &expiry);
            if (out.pvBuffer) {
                if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) Queue(session, out.pvBuffer, out.cbBuffer);
                FreeContextBuffer(out.pvBuffer);
            }
            Flush(session, s);
        }
    }
    DeleteSession(session);
}
