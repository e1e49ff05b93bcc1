// ComPort: the tool's only access to a serial line. One class, two
// backends (ComPortWin32.cpp on Windows, ComPortPosix.cpp on Linux) that
// give the rest of the tool the same five operations with the same results.
//
// What the callers may rely on
// ----------------------------
// Line settings: Open configures the given baud rate, 8 data bits, no
// parity, 1 stop bit, no flow control of any kind (neither RTS/CTS nor
// DSR/DTR nor XON/XOFF), binary (raw) transfer with no translation of any
// byte, and the DTR and RTS lines asserted while the port is open (devices
// without modem lines, such as pseudo-terminals, are opened all the same).
//
// Exclusive use: an open port belongs to this object alone. Opening a port
// that another ComPort or another process holds fails, and leaves the other
// holder undisturbed.
//
// Read time-outs, for timeoutMs = T passed to Open: Read(buffer, n) returns
//   - as soon as n bytes have arrived, or
//   - with what has arrived once T * n + T ms have passed since the call, or
//   - with what has arrived once more than T ms pass between two received
//     bytes (this interval rule starts with the first byte received).
// So a one-byte read on a silent line returns 0 after about 2 * T ms (one
// second with the tool's 500 ms). A device that vanishes (unplugged, or
// the far side of a pseudo-terminal closed) makes Read return what it has
// received so far, promptly, rather than wait out the time-out.
//
// Writes have no time-out: Write returns once the platform has taken every
// byte (on POSIX: once they have been handed to the device and drained), so
// a reply's time-out counts from the end of what was sent.
//
// Low latency (Linux): USB adapters hold received bytes for up to their
// latency timer (16 ms by default on FTDI's) before passing them on, and
// the loader answers every record with a single byte. Open therefore sets
// the serial flag ASYNC_LOW_LATENCY where the driver reports its flags
// (TIOCGSERIAL) and the flag is off; the FTDI driver then runs its timer at
// 1 ms. The flag outlives the descriptor, so Close puts back the flags it
// found before closing. Either call failing (a pseudo-terminal, a driver
// without the request, a device that has gone) is ignored: the line works
// the same, only slower.
//
// Network ports: a name that contains "://" is a port on a serial server
// (NetLink.h does the work, the same on both platforms):
//   rfc2217://HOST:PORT  Telnet with COM Port Control (RFC 2217). Open
//                        negotiates BINARY both ways, SUPPRESS-GO-AHEAD and
//                        COM-PORT-OPTION, and sets the server's line as above.
//   socket://HOST:PORT   raw TCP: bytes pass unchanged; the server's own line
//                        settings apply.
//   rfc2217+tls://HOST:PORT?QUERY, socket+tls://HOST:PORT?QUERY
//                        either of the two inside TLS (NetAddress.h has the
//                        query: ca, cert, key, name). Open fails unless the
//                        server proves itself (TLS 1.2 or later, its
//                        certificate chained to the authorities, within its
//                        dates, carrying the name) before anything else is
//                        sent, and when it ends the connection right after
//                        the handshake (a refused client certificate).
// HOST is a name, an IPv4 address or a bracketed IPv6 address ([::1]);
// PORT is decimal. Any other scheme, or any other form, fails to open.
// A failed Open of a network port leaves its reason in OpenFailure().
// Open connects within about 2 s, so a loop that retries it keeps going
// while a server is down. For rfc2217:// it then waits for the server to
// confirm what the bytes on the line depend on, the baud rate, data size,
// parity and stop size, and goes on the moment it has: answers to the rest
// (flow control, DTR, RTS) are not waited for, as servers differ in which
// they send (ser2net leaves DTR and RTS unanswered, pySerial's server inbound
// flow control) and a loader may already be greeting. A rate answer longer
// than its four bytes (sredird's) is taken by its leading bytes. A server
// that refuses COM-PORT-OPTION or binary transmission (without it, Telnet
// may alter a CR and the byte after it), reports other line settings than
// asked (flow control included, where its answer has come by then), or
// closes or fails the connection meanwhile fails Open. A server that does
// not confirm the four within about 2 s is taken as having set them. For socket:// nothing can be
// asked: Open fails only when the server closes the connection within
// 100 ms, which is how a serial server reports a device it could not open
// (ser2net writes "Device open failure" and closes); a server that keeps
// the connection without a working device, or reports it later, is seen
// only as a target that does not answer.
// The read time-outs hold as above, counted on data bytes only: Telnet
// commands that arrive are consumed, never returned, never counted, and
// move no deadline. A connection that the server closes ends a read at
// once, like a vanished device. Write sends every byte (0xFF doubled on
// rfc2217://) and returns once the system has taken them, so a reply's
// time-out includes the server's own time on its line; a server that takes
// nothing for 5 s fails the write. Purge asks an rfc2217:// server to purge
// both its buffers, and on both schemes drops the data received so far.
// Close closes the connection; the server then closes its device, which a
// target sees as its port being closed. Exclusive use is the server's to
// grant: ser2net hands a port to one client at a time, or to the newest
// one (kickolduser), as it is configured.
//
// No operation prints anything; each reports by its result only.
#pragma once

#include <cstddef>

#include "NetLink.h"

class ComPort {
public:
#ifdef _WIN32
    typedef void* Handle;  // a Win32 HANDLE
#else
    typedef int Handle;  // a file descriptor
#endif
    // The closed marker: the platform's invalid-handle value (all bits set).
    static const Handle kClosed;

    ComPort();
    ~ComPort();  // closes the port if it is open

    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    // Opens the port called `name` and configures it as described above.
    // Returns true when the port is open and configured. Returns false at
    // once, changing nothing, when this object is already open; returns
    // false before touching any device when the name has 256 characters or
    // more. Any failure after the device was opened closes it again, so a
    // failed Open always leaves the object closed.
    //
    // Names: a name containing "://" is a network port (above). On
    // Windows any other name is opened as "\\.\" + name (COM1, COM10).
    // On POSIX a name that begins with "/" is the device path itself;
    // "COMn", n a decimal number from 1, is /dev/ttyS(n-1); any other name
    // is /dev/<name>.
    bool Open(const char* name, int baudRate, int timeoutMs);

    // Closes the port if it is open; always leaves the closed marker.
    // Calling it on a closed object is harmless.
    void Close();

    // Reads up to `count` bytes into `buffer` under the time-outs above.
    // Returns the number of bytes read: 0 when the port is closed, when the
    // platform read fails, or when the time-outs pass with no data.
    size_t Read(unsigned char* buffer, size_t count);

    // Writes `count` bytes. True only when every byte was written; false
    // when the port is closed or the write failed or fell short.
    bool Write(const unsigned char* buffer, size_t count);

    // Discards whatever waits in the transmit and receive queues. False when
    // the port is closed, otherwise whether the platform call succeeded.
    bool Purge();

    bool IsOpen() const { return handle != kClosed; }

    // Why the last Open of a network port failed: one sentence that ends
    // in '.', for the line under the tool's own message; "" after a
    // successful Open and after any Open of a local port.
    const char* OpenFailure() const;

    // Longest name Open accepts: one less than the field that keeps it.
    static const size_t kMaxNameLength = 255;

    Handle handle;
    char name[256];  // the name given to the last Open that got this far

private:
    NetLink net;  // the connection while a network port is open
#ifndef _WIN32
    int timeoutMs;  // the read time-out T, emulated with poll()
    bool restoreLowLatency;  // Open set ASYNC_LOW_LATENCY; Close clears it
#endif
};
