// The other RFC 2217 servers that Debian ships, run as a lab runs them:
// sredird started for each connection by socat (inetd's way), which opens
// its device per connection as ser2net does; and pySerial's example
// server, which opens its device once and keeps it across connections.
#pragma once

#include <string>

#include <sys/types.h>

struct OtherServer {
    pid_t pid = -1;      // the listening process (socat, python3), leader of its process group
    pid_t linePid = -1;  // pySerial's server: the socat that carries its device to a pty
    int port = 0;
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
};

// Why these tests cannot run here ("" when they can): a missing package,
// which scripts/test installs.
std::string OtherServersMissing();

#define REQUIRE_OTHER_SERVERS()                                          \
    do {                                                                 \
        const std::string missing = OtherServersMissing();              \
        if (!missing.empty()) GTEST_SKIP() << missing << " (scripts/test installs it)"; \
    } while (0)

// sredird for `device` on a free loopback port: `socat TCP-LISTEN:PORT,fork
// EXEC:"sredird 3 DEVICE LOCKFILE"`, the lock file in `dir`. Returns once
// socat listens.
bool StartSredird(const std::string& dir, const std::string& device, OtherServer* server);

// The line behind pySerial's server: a pty at `linePath` for the target
// (the sim's --connected mode), carried by socat to a TCP listener on a
// free loopback port, the server's device. (pySerial cannot open a pty
// itself as a serial port: a pty refuses its modem-line requests.)
// Returns once the pty is there and socat listens.
bool StartPyserialLine(const std::string& linePath, OtherServer* server, int* linePort);

// pySerial's example server on a free port, serving socket://127.0.0.1:
// `linePort` (StartPyserialLine). Returns once it listens.
bool StartPyserialServer(const std::string& dir, int linePort, OtherServer* server);

// Ends the server and its line, and everything they started.
void StopOtherServer(OtherServer* server);
