// The loader start handshake: the trigger line, the echo of the target's
// answer, the close and re-open of the port while the target resets, and the
// check of the loader's greeting.
#pragma once

#include <cstddef>

class ComPort;

// The bytes a target sent in one reply, up to about a second of silence.
struct Reply {
    static const size_t kAreaSize = 1024;
    unsigned char text[kAreaSize];  // the first kAreaSize - 1 bytes, zero-terminated
    size_t count;                   // every byte received, however many
    unsigned char last;             // the last byte received (valid when count > 0)
};

// Reads a reply byte by byte, printing each byte as "%02X " as it arrives,
// until a one-byte read comes back empty.
void ReadReply(ComPort& port, Reply* reply);

// Runs the handshake on the open port. Prints its trace; on failure also
// prints "\nLoader start failed." and returns false. On success the port is
// open again and the loader is waiting for the first record.
bool StartLoader(ComPort& port, const char* portName);
