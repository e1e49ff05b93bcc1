// One transfer through each of the three RFC 2217 servers Debian ships, for
// every build of the tool.
#pragma once

#include "../e2e/Harness.h"

// Flashes the same image, 0xFF bytes in every record, through ser2net,
// sredird and pySerial's example server with the build `base` runs, and
// checks everything the run did. Prints each server's time from the tool's
// re-open to its first record (what each server's answers cost in time is
// the bench's to measure). The callers skip it where a server is missing.
void TransferThroughEachServer(const Runner& base);
