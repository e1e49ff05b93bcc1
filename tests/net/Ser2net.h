// A real ser2net for the tests: started on free loopback ports with a
// configuration, a pid file and a log of its own in the test's folder,
// serving one device through two accepters, RFC 2217 and raw TCP, either
// plain or inside TLS with client certificates that its authdir admits.
#pragma once

#include <string>

#include <sys/types.h>

struct Ser2net {
    pid_t pid = -1;
    int rfc2217Port = 0;  // telnet(rfc2217) accepter
    int rawPort = 0;      // raw tcp accepter
    // TLS: the folder of the test certificates (TestCertificates()), and
    // the server certificate there that ser2net shows ("server", or one
    // of the bad ones). Empty: plain accepters.
    std::string certs;
    std::string serverCert = "server";
    // The URL of one accepter: plain, or with TLS the "+tls" form whose
    // query names the lab's authority and the admitted client's files.
    std::string Url(bool rfc2217) const;
    // The URL of one accepter with the scheme's TLS form (or not) and
    // `query` ("" for none) whatever the accepter speaks.
    std::string UrlWith(bool rfc2217, bool tls, const std::string& query) const;
};

// The folder of the TLS tests' certificates (tests/net/make-test-certs
// lists them), made with the openssl command line at run time: those that
// ctest made for all tests (TlsCertificates.Make), or else a set made once
// for this test program in a folder that goes with it; named by a short
// link in /tmp, so that a URL naming three of them stays short whatever the
// build folder's path. "" where they could not be made.
const std::string& TestCertificates();

// The query that gives the tool the files of `certs`: `ca` as the trusted
// authority, `client`.pem and the client's key (none where client is "").
std::string CertQuery(const std::string& certs, const std::string& client = "client", const std::string& ca = "ca");

// The ser2net program, or "" when it is not installed.
std::string Ser2netProgram();

// Skips the calling test where ser2net is missing: a machine without it
// cannot run these tests, which is not a fault of the tool.
#define REQUIRE_SER2NET()                                                                                   \
    do {                                                                                                    \
        if (Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed (scripts/test installs it)"; \
    } while (0)

// The same for the TLS tests, which also need the test certificates: a
// machine where they cannot be made fails them.
#define REQUIRE_SER2NET_TLS()                                                 \
    do {                                                                      \
        REQUIRE_SER2NET();                                                    \
        ASSERT_NE(TestCertificates(), "") << "the test certificates could not be made"; \
    } while (0)

// Starts ser2net in `dir` for `device` (with TLS where server->certs is
// set: see Ser2net) with the device settings `line`
// (ser2net's form, e.g. "115200n81"), without its character delay; with
// kickOldUser the newest client takes the port from an older one, without
// it a second client is refused while one holds it. Ports of 0 are chosen
// free; given ones are used as they are (a restart on the same ports).
// Returns once ser2net itself listens on both, false when it did not.
bool StartSer2net(const std::string& dir, const std::string& device, Ser2net* server,
                  const std::string& line = "115200n81", bool kickOldUser = true);

// Ends it with `signal` and waits for it.
void StopSer2net(Ser2net* server, int signal = 15);
