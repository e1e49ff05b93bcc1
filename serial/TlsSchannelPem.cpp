// The PEM files of a TLS session on Windows, read with CryptoAPI.
#include "TlsSchannelPem.h"

#include <cstdio>

#include "TlsBytes.h"

namespace {

// No PEM file of ours is anywhere near this long; a longer one is not read.
const long kMaxFileSize = 1 << 20;

}  // namespace

bool ReadWholeFile(const char* path, std::string* text) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    text->clear();
    char chunk[4096];
    size_t n;
    bool ok = true;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        text->append(chunk, n);
        if (text->size() > static_cast<size_t>(kMaxFileSize)) {
            ok = false;
            break;
        }
    }
    if (ferror(f)) ok = false;
    fclose(f);
    return ok;
}

bool PemBlocks(const std::string& text, const char* label, std::vector<std::vector<BYTE>>* blocks) {
    const std::string begin = std::string("-----BEGIN ") + label + "-----";
    const std::string end = std::string("-----END ") + label + "-----";
    size_t at = 0;
    while ((at = text.find(begin, at)) != std::string::npos) {
        size_t stop = text.find(end, at + begin.size());
        if (stop == std::string::npos) return false;
        stop += end.size();
        const char* pem = text.data() + at;
        DWORD pemLength = static_cast<DWORD>(stop - at);
        DWORD size = 0;
        if (!CryptStringToBinaryA(pem, pemLength, CRYPT_STRING_BASE64HEADER, NULL, &size, NULL, NULL) ||
            size == 0)
            return false;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(pem, pemLength, CRYPT_STRING_BASE64HEADER, der.data(), &size, NULL, NULL))
            return false;
        der.resize(size);
        blocks->push_back(der);
        at = stop;
    }
    return true;
}

HCERTSTORE CertificatesOf(const std::string& text, PCCERT_CONTEXT* first) {
    std::vector<std::vector<BYTE>> ders;
    if (!PemBlocks(text, "CERTIFICATE", &ders) || ders.empty()) return NULL;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, NULL);
    if (!store) return NULL;
    for (size_t i = 0; i < ders.size(); ++i) {
        PCCERT_CONTEXT added = NULL;
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, ders[i].data(),
                                              static_cast<DWORD>(ders[i].size()), CERT_STORE_ADD_USE_EXISTING,
                                              i == 0 && first ? &added : NULL)) {
            if (first && *first) CertFreeCertificateContext(*first);
            if (first) *first = NULL;
            CertCloseStore(store, 0);
            return NULL;
        }
        if (i == 0 && first) *first = added;
    }
    return store;
}

bool RsaKeyBlob(const std::string& text, std::vector<BYTE>* blob) {
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    std::vector<std::vector<BYTE>> ders;
    std::vector<BYTE> pkcs1;
    if (PemBlocks(text, "PRIVATE KEY", &ders) && ders.size() == 1) {
        size_t start = 0, length = 0;
        bool rsa = Pkcs8RsaKey(ders[0].data(), ders[0].size(), &start, &length);
        if (rsa) pkcs1.assign(ders[0].data() + start, ders[0].data() + start + length);
        SecureZeroMemory(ders[0].data(), ders[0].size());
        if (!rsa) return false;
    } else {
        ders.clear();
        if (!PemBlocks(text, "RSA PRIVATE KEY", &ders) || ders.size() != 1) return false;
        pkcs1 = ders[0];
        SecureZeroMemory(ders[0].data(), ders[0].size());
    }
    BYTE* decoded = NULL;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(encoding, PKCS_RSA_PRIVATE_KEY, pkcs1.data(), static_cast<DWORD>(pkcs1.size()),
                             CRYPT_DECODE_ALLOC_FLAG, NULL, &decoded, &size))
        return false;
    blob->assign(decoded, decoded + size);
    SecureZeroMemory(decoded, size);
    LocalFree(decoded);
    SecureZeroMemory(pkcs1.data(), pkcs1.size());
    return true;
}
