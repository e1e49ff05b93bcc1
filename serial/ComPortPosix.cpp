// ComPort on POSIX (Linux): termios raw mode, an exclusive lock, and
// the Windows read time-outs emulated with poll() on a monotonic clock.
// Network ports go to NetLink.
#include "ComPort.h"
#include "../common/PortNames.h"
#include "NetAddress.h"
#include "ReadDeadline.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

const ComPort::Handle ComPort::kClosed = -1;

namespace {

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool SpeedFor(int baudRate, speed_t* speed) {
    static const struct { int rate; speed_t speed; } kSpeeds[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},   {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
        {230400, B230400},
    };
    for (const auto& s : kSpeeds) {
        if (s.rate == baudRate) {
            *speed = s.speed;
            return true;
        }
    }
    return false;
}

// Raw 8N1, no flow control, receiver on, modem-control lines ignored (so a
// missing carrier never blocks or hangs up the line).
void MakeRaw(struct termios* t, speed_t speed) {
    cfmakeraw(t);
    t->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    t->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t->c_cflag |= CS8 | CLOCAL | CREAD;
    // Reads never block in the kernel: Read() waits in poll() instead, which
    // is what lets it apply the total and interval time-outs.
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
}

// tcsetattr succeeds if any one change took, so compare what matters.
bool SettingsTook(const struct termios& want, const struct termios& got) {
    const tcflag_t cflagMask = CSIZE | PARENB | CSTOPB | CLOCAL | CREAD
#ifdef CRTSCTS
                               | CRTSCTS
#endif
        ;
    const tcflag_t iflagMask = IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP;
    const tcflag_t lflagMask = ICANON | ECHO | ISIG | IEXTEN;
    return (want.c_cflag & cflagMask) == (got.c_cflag & cflagMask) &&
           (want.c_iflag & iflagMask) == (got.c_iflag & iflagMask) &&
           (want.c_lflag & lflagMask) == (got.c_lflag & lflagMask) &&
           (want.c_oflag & OPOST) == (got.c_oflag & OPOST) &&
           cfgetispeed(&want) == cfgetispeed(&got) &&
           cfgetospeed(&want) == cfgetospeed(&got) &&
           got.c_cc[VMIN] == want.c_cc[VMIN] && got.c_cc[VTIME] == want.c_cc[VTIME];
}

// Turns ASYNC_LOW_LATENCY on or off, leaving every other serial flag as the
// driver reports it (changing only this flag needs no privilege). Returns
// true when the flag was changed; false when it already had that value or
// the driver does not report its flags.
bool SetLowLatency(int fd, bool on) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
    const bool isOn = (serial.flags & ASYNC_LOW_LATENCY) != 0;
    if (isOn == on) return false;
    if (on) {
        serial.flags |= ASYNC_LOW_LATENCY;
    } else {
        serial.flags &= ~ASYNC_LOW_LATENCY;
    }
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
    (void)on;
    return false;
#endif
}

}  // namespace

ComPort::ComPort() : handle(kClosed), name(), timeoutMs(0), restoreLowLatency(false) { NetInit(&net); }

ComPort::~ComPort() { Close(); }

bool ComPort::Open(const char* portName, int baudRate, int timeout) {
    if (handle != kClosed) return false;
    if (strlen(portName) > kMaxNameLength) return false;
    memcpy(name, portName, strlen(portName) + 1);

    if (IsNetworkName(name)) {
        if (!NetOpen(&net, name, baudRate, timeout)) return false;
        handle = net.socket;
        return true;
    }

    char path[300];
    speed_t speed;
    if (!PosixDevicePath(name, path, sizeof path) || !SpeedFor(baudRate, &speed) || timeout < 0) {
        return false;
    }

    // O_NONBLOCK so that a port without carrier cannot block the open; it is
    // cleared again once the line is configured.
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    handle = fd;

    // Exclusive, like share mode 0 on Windows. The lock comes before any
    // setting changes, so a port that another program holds is left as it
    // is. TIOCEXCL also keeps out programs that do not take the lock (root
    // can still open such a port, which is why the lock is needed as well).
    struct termios want;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !isatty(fd) || tcgetattr(fd, &want) != 0) {
        // Not Close(): its TIOCNXCL would take the exclusive mode away from
        // the program that holds the port.
        close(fd);
        handle = kClosed;
        return false;
    }
    ioctl(fd, TIOCEXCL);

    MakeRaw(&want, speed);
    struct termios got;
    if (tcsetattr(fd, TCSANOW, &want) != 0 || tcgetattr(fd, &got) != 0 || !SettingsTook(want, got)) {
        Close();
        return false;
    }

    // Pseudo-terminals and some adapters have no modem lines and refuse
    // this; the line works without them.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);

    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        Close();
        return false;
    }
    timeoutMs = timeout;
    // Last, so a port that refused its settings keeps its flags untouched.
    restoreLowLatency = SetLowLatency(fd, true);
    return true;
}

void ComPort::Close() {
    if (net.socket != kNoSocket) {
        NetClose(&net);
    } else if (handle != kClosed) {
        // Leave the adapter's latency as it was found: the flag outlives us.
        if (restoreLowLatency) SetLowLatency(handle, false);
        restoreLowLatency = false;
        // The exclusive mode outlives this descriptor if someone else still
        // holds the device open, and would then refuse our own re-open.
        ioctl(handle, TIOCNXCL);
        flock(handle, LOCK_UN);
        close(handle);
    }
    handle = kClosed;
}

size_t ComPort::Read(unsigned char* buffer, size_t count) {
    if (handle == kClosed || count == 0) return 0;
    if (net.socket != kNoSocket) return NetRead(&net, buffer, count);

    const long long start = NowMs();
    long long lastByte = 0;
    size_t got = 0;

    while (got < count) {
        long long now = NowMs();
        long long deadline = ReadDeadlineMs(start, timeoutMs, count, got, lastByte);
        if (now >= deadline) break;

        struct pollfd p;
        p.fd = handle;
        p.events = POLLIN;
        p.revents = 0;
        long long wait = deadline - now;
        int r = poll(&p, 1, wait > INT_MAX ? INT_MAX : static_cast<int>(wait));
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0) continue;  // the deadline check above ends the read
        if (p.revents & POLLIN) {
            ssize_t k = read(handle, buffer + got, count - got);
            if (k > 0) {
                got += static_cast<size_t>(k);
                lastByte = NowMs();
                continue;
            }
            if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            break;  // end of file or a device error: the device is gone
        }
        // POLLHUP, POLLERR or POLLNVAL with nothing to read: the device
        // vanished, and waiting longer would only delay the caller.
        break;
    }
    return got;
}

bool ComPort::Write(const unsigned char* buffer, size_t count) {
    if (handle == kClosed) return false;
    if (net.socket != kNoSocket) return NetWrite(&net, buffer, count);
    size_t done = 0;
    while (done < count) {
        ssize_t k = write(handle, buffer + done, count - done);
        if (k > 0) {
            done += static_cast<size_t>(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && errno == EAGAIN) {
            struct pollfd p = {handle, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    // Wait until the bytes are on the line, as a Windows write returns only
    // when the driver has taken them.
    while (tcdrain(handle) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool ComPort::Purge() {
    if (handle == kClosed) return false;
    if (net.socket != kNoSocket) return NetPurge(&net);
    return tcflush(handle, TCIOFLUSH) == 0;
}
