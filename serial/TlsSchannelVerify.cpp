// The server's certificate checked with CryptoAPI: its chain to the
// trusted authorities, its name (a DNS name or an address), its dates.
// getaddrinfo; winsock2.h must come before windows.h, which the header has.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "TlsSchannelVerify.h"

#include <cstring>
#include <vector>

// As wininet.h has them.
#ifndef SECURITY_FLAG_IGNORE_CERT_DATE_INVALID
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000
#endif
#ifndef SECURITY_FLAG_IGNORE_UNKNOWN_CA
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#endif

namespace {

// Whether `name` is a numeric IPv4 or IPv6 address; its bytes in *address.
bool NumericAddress(const std::string& name, std::vector<BYTE>* address) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    addrinfo* found = NULL;
    if (getaddrinfo(name.c_str(), NULL, &hints, &found) != 0 || !found) return false;
    bool ok = true;
    if (found->ai_family == AF_INET) {
        const BYTE* b = reinterpret_cast<const BYTE*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
        address->assign(b, b + 4);
    } else if (found->ai_family == AF_INET6) {
        const BYTE* b = reinterpret_cast<const BYTE*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr);
        address->assign(b, b + 16);
    } else {
        ok = false;
    }
    freeaddrinfo(found);
    return ok;
}

// Whether the certificate's subject alternative names hold the address.
bool CarriesAddress(PCCERT_CONTEXT cert, const std::vector<BYTE>& address) {
    PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                            cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* names = NULL;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, NULL, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
        found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == address.size() &&
                memcmp(e.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return found;
}

}  // namespace

TlsFailure CheckServerCertificate(PCCERT_CONTEXT server, HCERTSTORE trusted, const std::string& name) {
    // With a `ca` file, a chain engine whose only roots are its certificates.
    // Where the system has no such engine (Wine refuses the configuration
    // that names them), the default engine builds the chain with the file's
    // certificates at hand, and the root it ends in must be one of them.
    HCERTCHAINENGINE engine = NULL;
    bool exclusive = false;
    if (trusted) {
        CERT_CHAIN_ENGINE_CONFIG config;
        memset(&config, 0, sizeof config);
        config.cbSize = sizeof config;
        config.hExclusiveRoot = trusted;
        exclusive = CertCreateCertificateChainEngine(&config, &engine) != FALSE;
        if (!exclusive) engine = NULL;
    }
    // The server's intermediates arrive in its certificate's store.
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, NULL);
    if (extra) {
        CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
        if (trusted && !exclusive) CertAddStoreToCollection(extra, trusted, 0, 0);
    }

    LPSTR usage[1] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    BOOL built = CertGetCertificateChain(engine, server, NULL, extra ? extra : server->hCertStore, &para, 0, NULL,
                                         &chain);
    TlsFailure result = TlsFailure::kNone;
    if (!built || !chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
        result = TlsFailure::kUntrusted;
    } else {
        DWORD status = chain->TrustStatus.dwErrorStatus;
        DWORD broken = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                       CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_REVOKED |
                       CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_INVALID_BASIC_CONSTRAINTS |
                       CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_INVALID_NAME_CONSTRAINTS;
        if (trusted) {
            // The root must be the file's, whichever engine built the chain.
            const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
            PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
            PCCERT_CONTEXT mine =
                CertFindCertificateInStore(trusted, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, NULL);
            if (mine)
                CertFreeCertificateContext(mine);
            else
                result = TlsFailure::kUntrusted;
            // The default engine trusts none of them: that is checked above.
            if (!exclusive) broken &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
        }
        if (status & broken) result = TlsFailure::kUntrusted;

        // The name: an address in the subject alternative names (checked
        // here), a DNS name by the system's SSL policy.
        std::vector<BYTE> address;
        bool numeric = NumericAddress(name, &address);
        if (result == TlsFailure::kNone && numeric && !CarriesAddress(server, address))
            result = TlsFailure::kWrongName;
        if (result == TlsFailure::kNone) {
            std::wstring wide(name.begin(), name.end());
            SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
            memset(&ssl, 0, sizeof ssl);
            ssl.cbSize = sizeof ssl;
            ssl.dwAuthType = AUTHTYPE_SERVER;
            ssl.fdwChecks = SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
            if (trusted && !exclusive) ssl.fdwChecks |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            ssl.pwszServerName = numeric ? NULL : const_cast<wchar_t*>(wide.c_str());
            CERT_CHAIN_POLICY_PARA policy;
            memset(&policy, 0, sizeof policy);
            policy.cbSize = sizeof policy;
            policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
            if (trusted && !exclusive) policy.dwFlags |= CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
            policy.pvExtraPolicyPara = &ssl;
            CERT_CHAIN_POLICY_STATUS verdict;
            memset(&verdict, 0, sizeof verdict);
            verdict.cbSize = sizeof verdict;
            if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
                result = TlsFailure::kOther;
            } else if (verdict.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
                result = TlsFailure::kWrongName;
            } else if (verdict.dwError == static_cast<DWORD>(CERT_E_EXPIRED) ||
                       verdict.dwError == static_cast<DWORD>(CERT_E_VALIDITYPERIODNESTING)) {
                result = TlsFailure::kExpired;
            } else if (verdict.dwError != 0) {
                result = TlsFailure::kUntrusted;
            }
        }
        if (result == TlsFailure::kNone && (status & CERT_TRUST_IS_NOT_TIME_VALID)) result = TlsFailure::kExpired;
    }
    if (chain) CertFreeCertificateChain(chain);
    if (extra) CertCloseStore(extra, 0);
    if (engine) CertFreeCertificateChainEngine(engine);
    return result;
}

