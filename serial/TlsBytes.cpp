// The record watch and the PKCS#8 reader of TlsBytes.h.
#include "TlsBytes.h"

#include <cstring>

void TlsWatchInit(TlsRecordWatch* w) {
    w->headerHave = 0;
    w->bodyLeft = 0;
    w->notTls = false;
    w->alert = false;
    w->alertDescription = -1;
    w->cipherChanged = false;
    w->alertBodyHave = 2;  // no clear alert being read
}

void TlsWatchFeed(TlsRecordWatch* w, const unsigned char* bytes, size_t count) {
    while (count > 0 && !w->notTls) {
        if (w->bodyLeft > 0 && w->alertBodyHave < 2) {
            // A clear alert: level, then description.
            if (++w->alertBodyHave == 2 && w->alertDescription < 0) w->alertDescription = *bytes;
            ++bytes;
            --count;
            --w->bodyLeft;
            continue;
        }
        if (w->bodyLeft > 0) {
            size_t n = count < w->bodyLeft ? count : w->bodyLeft;
            w->bodyLeft -= n;
            bytes += n;
            count -= n;
            continue;
        }
        // Each byte is judged as it comes: a server that sends a few bytes
        // of something else and then waits is told at once.
        unsigned char c = *bytes++;
        --count;
        w->header[w->headerHave++] = c;
        // change_cipher_spec, alert, handshake, application_data; version 3.x.
        bool bad = (w->headerHave == 1 && (c < 20 || c > 23)) || (w->headerHave == 2 && c != 3) ||
                   (w->headerHave == 3 && c > 4);
        if (w->headerHave == 5) {
            // No record is empty or longer than 16 KiB plus its expansion.
            unsigned length = (static_cast<unsigned>(w->header[3]) << 8) | w->header[4];
            bad = length == 0 || length > 16384 + 2048;
            w->headerHave = 0;
            w->bodyLeft = length;
            w->alertBodyHave = 2;
            if (w->header[0] == 20) w->cipherChanged = true;
            if (w->header[0] == 21) {
                w->alert = true;
                if (!w->cipherChanged) w->alertBodyHave = 0;
            }
        }
        if (bad) {
            w->notTls = true;
            return;
        }
    }
}

bool TlsCertificateAlert(int description) {
    switch (description) {
        case 40:   // handshake_failure: what a server sends that wants a certificate and got none
        case 42:   // bad_certificate
        case 43:   // unsupported_certificate
        case 44:   // certificate_revoked
        case 45:   // certificate_expired
        case 46:   // certificate_unknown
        case 48:   // unknown_ca
        case 49:   // access_denied
        case 116:  // certificate_required
            return true;
        default:
            return false;
    }
}

namespace {

// One DER element at *at, before `end`: its tag and contents. False when
// the bytes end before it does.
bool DerNext(const unsigned char* der, size_t* at, size_t end, unsigned char* tag, size_t* start, size_t* length) {
    if (*at + 2 > end) return false;
    *tag = der[*at];
    size_t n = der[*at + 1];
    size_t p = *at + 2;
    if (n & 0x80) {
        size_t bytes = n & 0x7f;
        if (bytes == 0 || bytes > 4 || p + bytes > end) return false;
        n = 0;
        for (size_t i = 0; i < bytes; ++i) n = (n << 8) | der[p++];
    }
    if (n > end - p) return false;
    *start = p;
    *length = n;
    *at = p + n;
    return true;
}

}  // namespace

bool Pkcs8RsaKey(const unsigned char* der, size_t size, size_t* keyStart, size_t* keyLength) {
    static const unsigned char kRsaEncryption[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
    size_t at = 0, start, length;
    unsigned char tag;
    if (!DerNext(der, &at, size, &tag, &start, &length) || tag != 0x30) return false;
    size_t end = start + length;
    at = start;
    if (!DerNext(der, &at, end, &tag, &start, &length) || tag != 0x02) return false;  // version
    if (!DerNext(der, &at, end, &tag, &start, &length) || tag != 0x30) return false;  // algorithm
    size_t inner = start, oidStart, oidLength;
    if (!DerNext(der, &inner, start + length, &tag, &oidStart, &oidLength) || tag != 0x06 ||
        oidLength != sizeof kRsaEncryption || memcmp(der + oidStart, kRsaEncryption, sizeof kRsaEncryption) != 0)
        return false;
    if (!DerNext(der, &at, end, &tag, &start, &length) || tag != 0x04) return false;  // the key
    *keyStart = start;
    *keyLength = length;
    return true;
}
