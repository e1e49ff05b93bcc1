// Pty.cpp - creating, publishing and watching the pseudo-terminal.
//
// A fresh pty master does not report POLLHUP before its slave has been opened
// once, so poll() alone cannot tell "not opened yet" from "open and idle". So
// the slave is opened and closed once before publishing: the hang-up flag is
// then set, and its clearing shows the tool's open. poll() does not wake when
// the flag clears, so the sim looks every few milliseconds. (An inotify watch
// on the slave would wake it at once, but closing one costs the kernel an SRCU
// grace period in a shared worker; with several sims at a time on a loaded
// machine those workers piled up and held up every pty's bytes for seconds.)
#include "Pty.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Raw at 115200 baud: no echo, no CR/LF translation, no signals, every byte
// passed through as it is. `device` also gets CLOCAL and CREAD: a real line
// must ignore its modem lines and receive, which a pty does regardless.
bool MakeRaw(int fd, bool device, const std::string& what, std::string& err) {
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        err = what + " is not a terminal: " + strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    if (device) t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        err = "tcsetattr " + what + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

Pty::~Pty() {
    close();
}

bool Pty::create(std::string& err) {
    close();
    opened_ = false;
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0) {
        err = std::string("posix_openpt: ") + strerror(errno);
        return false;
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        err = std::string("grantpt/unlockpt: ") + strerror(errno);
        close();
        return false;
    }
    const char* name = ptsname(master_);
    if (!name) {
        err = std::string("ptsname: ") + strerror(errno);
        close();
        return false;
    }
    slave_ = name;

    // Raw on the master sets the slave's line discipline.
    if (!MakeRaw(master_, false, "the pty master", err)) {
        close();
        return false;
    }

    int s = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (s < 0) {
        err = "cannot open " + slave_ + ": " + strerror(errno);
        close();
        return false;
    }
    ::close(s);
    return true;
}

bool Pty::attach(const std::string& device, std::string& err) {
    close();
    master_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        err = "cannot open " + device + ": " + strerror(errno);
        return false;
    }
    if (!MakeRaw(master_, true, device, err)) {
        close();
        return false;
    }
    // Whatever the line delivered before this session is not part of it.
    tcflush(master_, TCIOFLUSH);
    slave_ = device;
    opened_ = true;
    return true;
}

bool Pty::publish(const std::string& path, std::string& err) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        err = path + " exists and is not a symlink";
        return false;
    }
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slave_.c_str(), tmp.c_str()) != 0) {
        err = "symlink " + tmp + ": " + strerror(errno);
        return false;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        err = "rename to " + path + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    path_ = path;
    return true;
}

void Pty::unpublish() {
    if (path_.empty()) return;
    char target[PATH_MAX];
    ssize_t n = readlink(path_.c_str(), target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (slave_ == target) unlink(path_.c_str());
    }
    path_.clear();
}

bool Pty::refuseOpens() {
    if (master_ < 0) return false;
    int lock = 1;
    return ioctl(master_, TIOCSPTLCK, &lock) == 0;
}

void Pty::close() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

int Pty::release() {
    const int fd = master_;
    master_ = -1;
    return fd;
}

bool Pty::openSeen() {
    if (opened_) return true;
    if (master_ < 0) return false;
    pollfd p = {master_, POLLIN, 0};
    const bool hungUp = poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    // No hang-up reported: someone holds the slave. Bytes can only come from
    // an opener, even one that has closed again.
    opened_ = !hungUp || (p.revents & POLLIN);
    return opened_;
}

int Pty::unreadBySlave() const {
    if (master_ < 0) return -1;
    int s = ::open(slave_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (s < 0) return -1;
    // Bytes written to the master reach the slave's queue through a kernel
    // work item, which a loaded machine may run many milliseconds later; until
    // then FIONREAD says 0. A poll on the slave runs that work item at once.
    pollfd p = {s, POLLIN, 0};
    (void)poll(&p, 1, 0);
    int n = -1;
    if (ioctl(s, FIONREAD, &n) != 0) n = -1;
    ::close(s);
    return n;
}
