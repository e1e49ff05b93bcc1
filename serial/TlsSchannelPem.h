// The PEM files of a TLS session on Windows, read into CryptoAPI's forms:
// certificates into memory stores, an RSA key into the blob a key
// container imports. Schannel's session (TlsSchannel.cpp) is their one user.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

// The whole file in *text; false when it cannot be read or is longer than
// any PEM file of ours could be (1 MiB).
bool ReadWholeFile(const char* path, std::string* text);

// The DER bytes of each "-----BEGIN <label>-----" block of `text`, in order.
// False when a block is not closed or its base64 is broken.
bool PemBlocks(const std::string& text, const char* label, std::vector<std::vector<BYTE>>* blocks);

// A memory store holding every certificate of `text`; null when it holds
// none or one cannot be decoded. *first gets the first one when asked (the
// caller frees it, and closes the store).
HCERTSTORE CertificatesOf(const std::string& text, PCCERT_CONTEXT* first);

// The private key of `text` as a CryptoAPI PRIVATEKEYBLOB: PKCS#8 ("BEGIN
// PRIVATE KEY") or PKCS#1 ("BEGIN RSA PRIVATE KEY"), RSA only. False for
// any other key, an encrypted one, or broken DER. The copies made on the
// way are wiped; the caller wipes *blob.
bool RsaKeyBlob(const std::string& text, std::vector<BYTE>* blob);
