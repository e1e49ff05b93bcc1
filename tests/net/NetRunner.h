// Runners that put a real ser2net between the tool and tessan-sim, so the
// end-to-end cases run over rfc2217:// and socket:// ports.
#pragma once

#include "../e2e/Harness.h"
#include "Ser2net.h"

// `base` (the native build, or the Windows build under Wine) with its port
// reached through ser2net: each run starts a ser2net of its own on free
// loopback ports, serving the sim's pty, and stops it after the tool.
// The label is base's with "-rfc2217" or "-socket" added.
Runner OverNetwork(const Runner& base, bool rfc2217);

// What the network runners' start hook does: ser2net for the sim's port in
// `dir` (see StartSer2net for kickOldUser), its pid and URLs where the other
// hooks read them.
bool StartRunServer(const std::string& dir, Ser2net* server, bool kickOldUser = true);
