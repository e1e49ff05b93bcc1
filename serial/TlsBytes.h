// Byte-level pieces of TLS that need no TLS library: a watch over the
// record layer of a server's handshake bytes, and the RSA key inside a
// PKCS#8 PrivateKeyInfo. Pure, for the Windows TLS code (the system's TLS
// tells neither), and tested on every platform.
#pragma once

#include <cstddef>

// Follows the records of the server's handshake bytes: each record is a
// 5-byte header (type, version, length) and its body. It tells a server
// that speaks no TLS from one that does, and notices an alert, which is
// how a TLS server ends a handshake it refuses.
struct TlsRecordWatch {
    unsigned char header[5];
    size_t headerHave;
    size_t bodyLeft;
    bool notTls;  // a header no TLS server sends
    bool alert;   // an alert record
    // The first alert's description where it came in clear (before the
    // server's change_cipher_spec); -1 when there was none or it was
    // encrypted.
    int alertDescription;
    bool cipherChanged;   // a change_cipher_spec record came
    size_t alertBodyHave; // bytes of the clear alert's body seen (level, description)
};

void TlsWatchInit(TlsRecordWatch* watch);

// The next `count` bytes the server sent, in order, in pieces of any size.
void TlsWatchFeed(TlsRecordWatch* watch, const unsigned char* bytes, size_t count);

// Whether an alert with this description refuses a certificate (the
// client's, or its lack) rather than anything else of the handshake.
bool TlsCertificateAlert(int description);

// The PKCS#1 RSAPrivateKey inside the DER of a PKCS#8 PrivateKeyInfo,
// SEQUENCE { version, SEQUENCE { rsaEncryption, ... }, OCTET STRING { key },
// ... }: its offset and length in *start and *length. False for another
// algorithm or DER that ends too soon.
bool Pkcs8RsaKey(const unsigned char* der, size_t size, size_t* start, size_t* length);
