// The check of a TLS server's certificate on Windows, with CryptoAPI.
// Schannel's session (TlsSchannel.cpp) calls it once the handshake is done,
// before anything of the caller's goes out.
#pragma once

// After winsock2.h where a file has both: windows.h must not come first.
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "Tls.h"

// Checks `server` (with the intermediates in its store) in order: a chain
// to the authorities of `trusted` (the system's roots when null) valid for
// server authentication, then `name` (a DNS name by the system's SSL
// policy, a numeric address among the subject alternative names), then
// the dates. kNone when all hold, else the first that failed.
TlsFailure CheckServerCertificate(PCCERT_CONTEXT server, HCERTSTORE trusted, const std::string& name);
