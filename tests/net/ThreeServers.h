// One transfer through each of the three RFC 2217 servers Debian ships, for
// every build of the tool.
#pragma once

#include "../e2e/Harness.h"

// Flashes the same image, 0xFF bytes in every record, through ser2net,
// sredird and pySerial's example server with the build `base` runs, and
// checks everything the run did; the sredird run may take at most 0.5 s
// longer than the ser2net one. Prints each server's time from the tool's
// re-open to its first record. The callers skip it where a server is
// missing.
void TransferThroughEachServer(const Runner& base);
