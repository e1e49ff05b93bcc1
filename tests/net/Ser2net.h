// A real ser2net for the tests: started on free loopback ports with a
// configuration, a pid file and a log of its own in the test's folder,
// serving one device through two accepters, RFC 2217 and raw TCP.
#pragma once

#include <string>

#include <sys/types.h>

struct Ser2net {
    pid_t pid = -1;
    int rfc2217Port = 0;  // telnet(rfc2217) accepter
    int rawPort = 0;      // raw tcp accepter
    std::string Url(bool rfc2217) const {
        return (rfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") +
               std::to_string(rfc2217 ? rfc2217Port : rawPort);
    }
};

// The ser2net program, or "" when it is not installed.
std::string Ser2netProgram();

// Skips the calling test where ser2net is missing: a machine without it
// cannot run these tests, which is not a fault of the tool.
#define REQUIRE_SER2NET()                                                                                   \
    do {                                                                                                    \
        if (Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is not installed (scripts/test installs it)"; \
    } while (0)

// Starts ser2net in `dir` for `device` with the device settings `line`
// (ser2net's form, e.g. "115200n81"), without its character delay; with
// kickOldUser the newest client takes the port from an older one, without
// it a second client is refused while one holds it. Ports of 0 are chosen
// free; given ones are used as they are (a restart on the same ports).
// Returns once ser2net itself listens on both, false when it did not.
bool StartSer2net(const std::string& dir, const std::string& device, Ser2net* server,
                  const std::string& line = "115200n81", bool kickOldUser = true);

// Ends it with `signal` and waits for it.
void StopSer2net(Ser2net* server, int signal = 15);
