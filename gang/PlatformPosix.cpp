// tessan-gang's system parts on POSIX: fork/exec with a pipe, poll, signals
// by a self-pipe, ANSI drawing, glob(3) for ports, stat for device identity,
// sysfs for the USB device behind a port (Linux).
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "../common/PortNames.h"

namespace {

volatile sig_atomic_t gInterrupted = 0;
int gWakeRead = -1, gWakeWrite = -1;

extern "C" void OnStopSignal(int) {
    const int saved = errno;
    gInterrupted = 1;
    const char byte = 1;
    if (write(gWakeWrite, &byte, 1) < 0) {
    }
    errno = saved;
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace

bool PreparePlatform() {
    signal(SIGPIPE, SIG_IGN);
    int wake[2];
    if (pipe(wake) != 0) return false;
    gWakeRead = wake[0];
    gWakeWrite = wake[1];
    SetNonBlocking(gWakeRead);
    SetNonBlocking(gWakeWrite);
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &stop, nullptr);
    return true;
}

bool StartChild(const std::string& program, const std::vector<std::string>& args, ChildProcess* child) {
    int out[2];
    if (pipe(out) != 0) return false;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (pid == 0) {
        // A process group of its own, so the gang can end it with whatever
        // it started, and a terminal's Ctrl-C reaches the gang alone.
        setpgid(0, 0);
#ifdef __linux__
        // Should the gang itself be killed, its children end too.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
#endif
        (void)parent;
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &dfl, nullptr);
        const int in = open("/dev/null", O_RDONLY);
        if (in < 0) _exit(127);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    close(out[1]);
    SetNonBlocking(out[0]);
#ifdef F_SETPIPE_SZ
    // Room for far more than a child writes between two of the gang's looks
    // (where the system allows it; 64 KiB otherwise).
    fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
#endif
    child->pid = pid;
    child->fd = out[0];
    child->eof = false;
    child->ended = false;
    return true;
}

void ReadChild(ChildProcess* child, std::string* out) {
    if (child->fd < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(child->fd, buffer, sizeof buffer);
        if (got > 0) {
            out->append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        close(child->fd);
        child->fd = -1;
        child->eof = true;
        return;
    }
}

bool ChildEnded(ChildProcess* child, int* exitCode) {
    if (child->ended) return true;
    int status = 0;
    const pid_t r = waitpid(child->pid, &status, WNOHANG);
    if (r != child->pid) return false;
    child->ended = true;
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

void EndChild(ChildProcess* child, bool hard) {
    if (child->ended) return;
    kill(-child->pid, hard ? SIGKILL : SIGTERM);
}

void WaitForEvents(const std::vector<ChildProcess*>& children, int timeoutMs) {
    std::vector<struct pollfd> fds;
    fds.push_back({gWakeRead, POLLIN, 0});
    // No events asked for the pipes: poll still reports their hang-up.
    for (ChildProcess* c : children) {
        if (c->fd >= 0) fds.push_back({c->fd, 0, 0});
    }
    if (gInterrupted) return;
    poll(fds.data(), fds.size(), timeoutMs);
    char drain[64];
    while (read(gWakeRead, drain, sizeof drain) > 0) {
    }
}

bool Interrupted() { return gInterrupted != 0; }
void FinishedAfterInterrupt() {}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

int TerminalWidth() {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

int TerminalHeight() {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_row;
}

void WriteOut(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

void DrawLines(const std::vector<std::string>& lines, size_t previous) {
    std::string text;
    if (previous > 0) text += "\r\x1b[" + std::to_string(previous) + "A";
    for (const std::string& line : lines) text += line + "\x1b[K\n";
    text += "\x1b[J";
    WriteOut(text);
}

std::vector<std::string> ListPorts(const std::string& pattern) {
    std::vector<std::string> ports;
    glob_t found;
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            // A link whose device has gone is not a port.
            struct stat st;
            if (stat(found.gl_pathv[i], &st) == 0 && S_ISCHR(st.st_mode)) ports.push_back(found.gl_pathv[i]);
        }
    }
    globfree(&found);
    std::sort(ports.begin(), ports.end());
    return ports;
}

namespace {

// The first line of a sysfs attribute file, or nothing when it is not there.
std::optional<std::string> Attribute(const std::string& dir, const char* name) {
    FILE* f = fopen((dir + "/" + name).c_str(), "r");
    if (f == nullptr) return std::nullopt;
    char line[512];
    const bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!got) return std::nullopt;
    std::string value = line;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

}  // namespace

bool UsbIdentity(const std::string& port, UsbInfo* info) {
    if (IsNetworkName(port.c_str())) return false;
    // The tty behind the name: links (/dev/serial/by-id/...) followed, COMn
    // as tessan maps it.
    char path[PATH_MAX], device[PATH_MAX];
    if (!PosixDevicePath(port.c_str(), path, sizeof path) || realpath(path, device) == nullptr) return false;
    const char* tty = strrchr(device, '/');
    if (tty == nullptr || tty[1] == '\0') return false;
    // The tty's device in sysfs, and up from it the USB device: the first
    // folder that holds idVendor and idProduct.
    char dir[PATH_MAX];
    if (realpath(("/sys/class/tty/" + std::string(tty + 1) + "/device").c_str(), dir) == nullptr) return false;
    for (std::string at = dir; at.size() > strlen("/sys/devices/"); at.erase(at.rfind('/'))) {
        const std::optional<std::string> vid = Attribute(at, "idVendor"), pid = Attribute(at, "idProduct");
        if (!vid || !pid) continue;
        *info = UsbInfo();
        info->vid = Lower(*vid);
        info->pid = Lower(*pid);
        info->serial = Attribute(at, "serial");
        info->manufacturer = Attribute(at, "manufacturer");
        info->product = Attribute(at, "product");
        info->location = at.substr(at.rfind('/') + 1);
        return true;
    }
    return false;
}

std::string DeviceKey(const std::string& name) {
    if (IsNetworkName(name.c_str())) return "net:" + Lower(name);
    char path[PATH_MAX];
    if (!PosixDevicePath(name.c_str(), path, sizeof path)) return "name:" + name;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISCHR(st.st_mode)) return "dev:" + std::to_string(static_cast<unsigned long long>(st.st_rdev));
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) return "path:" + std::string(resolved);
    return "path:" + std::string(path);
}

std::string ToolBeside(const char* argv0) {
    char self[PATH_MAX];
    std::string own;
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        own.assign(self, static_cast<size_t>(n));
    } else if (realpath(argv0, self) != nullptr) {
        own = self;
    } else {
        own = argv0;
    }
    const size_t slash = own.rfind('/');
    return (slash == std::string::npos ? std::string(".") : own.substr(0, slash)) + "/tessan";
}

bool IsProgram(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) close(fd_);
}

bool AppendFile::Open(const std::string& path, std::string* why) {
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) *why = strerror(errno);
    return fd_ >= 0;
}

bool AppendFile::Write(const std::string& line, std::string* why) {
    ssize_t n;
    do {
        n = write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        *why = n < 0 ? strerror(errno) : "only part of the line was written";
        return false;
    }
    // A device or pipe has nothing to flush; a file must reach the disk.
    if (fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
        *why = strerror(errno);
        return false;
    }
    return true;
}
