// Runners that put a real serial server (ser2net, sredird, pySerial's
// example server) between the tool and tessan-sim, so the end-to-end cases
// run over rfc2217:// and socket:// ports.
#pragma once

#include "../e2e/Harness.h"
#include "OtherServers.h"
#include "Ser2net.h"

// `base` (the native build, or the Windows build under Wine) with its port
// reached through ser2net: each run starts a ser2net of its own on free
// loopback ports, serving the sim's pty, and stops it after the tool.
// The label is base's with "-rfc2217" or "-socket" added.
Runner OverNetwork(const Runner& base, bool rfc2217);

// The same through ser2net's TLS accepters: the tool's port is the "+tls"
// URL with the lab's authority and an admitted client certificate (see
// TestCertificates). The label gets "-rfc2217-tls" or "-socket-tls".
Runner OverTlsNetwork(const Runner& base, bool rfc2217);

// What the network runners' start hook does: ser2net for the sim's port in
// `dir` (see StartSer2net for kickOldUser), its pid and URLs where the other
// hooks read them.
bool StartRunServer(const std::string& dir, Ser2net* server, bool kickOldUser = true);

// `base` with its port reached through sredird, started per run in front of
// the sim's pty as socat runs it for each connection. The label is base's
// with "-sredird" added.
Runner OverSredird(const Runner& base);

// `base` with its port reached through pySerial's example server, which
// holds its device across the tool's two connections: the sim serves the
// server's line in its --connected mode (the cases must give the sim
// "--connected"), greeting on its own clock. The label is base's with
// "-pyserial" added.
Runner OverPyserial(const Runner& base);
