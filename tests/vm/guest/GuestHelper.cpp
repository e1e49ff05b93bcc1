// tessan-vm-guest: the helper inside the test virtual machine. As the
// guest's first process it serves the host's requests on a serial port (put a
// file, run a script, get a file); the case scripts call it to read a port's
// line settings back and to open a port the way tessan does.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

#include "serial/ComPort.h"

namespace {

const char kUsage[] =
    "usage: tessan-vm-guest agent DEVICE   serve the host's requests on DEVICE\n"
    "       tessan-vm-guest probe DEVICE   print DEVICE's line settings and modem lines\n"
    "       tessan-vm-guest open NAME      open port NAME as tessan does\n"
    "       tessan-vm-guest user PROGRAM [ARG...]  run PROGRAM as user and group 1000\n"
    "Runs only inside the test virtual machine, where it is the first process.\n";

// Inside the guest, the agent is process 1 (it replaces the init script), and
// everything else it starts descends from it. On any other machine this is
// false, so the helper never touches that machine's serial ports.
bool InsideTheGuest() {
    if (getpid() == 1) return true;
    char command[64] = {};
    FILE* f = fopen("/proc/1/cmdline", "rb");  // readable by every user
    if (f == nullptr) return false;
    size_t n = fread(command, 1, sizeof command - 1, f);
    fclose(f);
    return n > 0 && strcmp(command, "/bin/tessan-vm-guest") == 0;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k > 0) {
            p += k;
            n -= static_cast<size_t>(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool ReadAll(int fd, std::string* out, size_t n) {
    out->assign(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t k = read(fd, &(*out)[got], n - got);
        if (k > 0) {
            got += static_cast<size_t>(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c;
    for (;;) {
        ssize_t k = read(fd, &c, 1);
        if (k < 0 && errno == EINTR) continue;
        if (k != 1) return false;
        if (c == '\n') return true;
        *line += c;
    }
}

// Every answer: "OK LEN\n" or "ERR LEN\n", then LEN bytes.
bool Answer(int fd, bool ok, const std::string& payload) {
    std::string head = (ok ? "OK " : "ERR ") + std::to_string(payload.size()) + "\n";
    return WriteAll(fd, head.data(), head.size()) && WriteAll(fd, payload.data(), payload.size());
}

bool ReadFile(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}

bool WriteFile(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

// Runs `script` with /bin/sh, standard input from /dev/null and its output on
// the console; returns its exit status (128 + N for a signal N).
int RunScript(const std::string& script) {
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return 127;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Serves requests "VERB LEN [ARG]\n" + LEN bytes: PING TOKEN (answered with
// the token), PUT PATH (the bytes are the file), GET PATH, RUN (the bytes are
// a script; the answer is its exit status). Bytes that the host sent before
// the port was open are partly lost, so a line that is no request is skipped:
// the host's next PING finds the agent in step again. As process 1 the agent
// must never end: the kernel would stop.
int Agent(const char* device) {
    int fd = open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        printf("agent: cannot open %s: %s\n", device, strerror(errno));
        return 1;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    // Until now the port echoed what came in (the host may see that) and
    // may hold the tail of a request: start clean.
    tcflush(fd, TCIFLUSH);
    printf("agent: serving on %s\n", device);
    fflush(stdout);

    std::string line, payload;
    for (;;) {
        if (!ReadLine(fd, &line)) {
            sleep(1);
            continue;
        }
        char verb[8] = {};
        unsigned long length = 0;
        int pathAt = 0;
        const bool known = sscanf(line.c_str(), "%7s %lu %n", verb, &length, &pathAt) >= 2 &&
                           length <= (1ul << 24) &&
                           (strcmp(verb, "PING") == 0 || strcmp(verb, "PUT") == 0 ||
                            strcmp(verb, "GET") == 0 || strcmp(verb, "RUN") == 0);
        if (!known) {
            printf("agent: skipped '%s'\n", line.c_str());
            fflush(stdout);
            continue;
        }
        const std::string path = pathAt > 0 ? line.substr(static_cast<size_t>(pathAt)) : "";
        if (!ReadAll(fd, &payload, length)) continue;
        const std::string v = verb;
        if (v == "PING") {
            Answer(fd, true, path);
        } else if (v == "PUT") {
            Answer(fd, WriteFile(path, payload), "");
        } else if (v == "GET") {
            std::string data;
            bool ok = ReadFile(path, &data);
            Answer(fd, ok, ok ? data : strerror(errno));
        } else if (v == "RUN") {
            printf("agent: running\n%s\n", payload.c_str());
            fflush(stdout);
            int status = RunScript(payload);
            printf("agent: exit status %d\n", status);
            fflush(stdout);
            Answer(fd, true, std::to_string(status));
        }
        // Orphans of the scripts' background jobs end up here.
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
}

const char* Flag(bool on) { return on ? "" : "-"; }

// Prints the settings the line runs with, in a fixed form a test compares.
int Probe(const char* device) {
    // A second descriptor on a port that is open elsewhere: opening and
    // closing it does not reset the line.
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        printf("cannot read %s: %s\n", device, strerror(errno));
        return 1;
    }
    const speed_t in = cfgetispeed(&t), out = cfgetospeed(&t);
    printf("speed %s %s\n", in == B115200 ? "115200" : "other", out == B115200 ? "115200" : "other");
    const tcflag_t c = t.c_cflag, i = t.c_iflag, l = t.c_lflag;
    printf("cflag %s %sparenb %scstopb %scrtscts %sclocal %scread\n", (c & CSIZE) == CS8 ? "cs8" : "-cs8",
           Flag(c & PARENB), Flag(c & CSTOPB), Flag(c & CRTSCTS), Flag(c & CLOCAL), Flag(c & CREAD));
    printf("iflag %sixon %sixoff %sixany %sicrnl %sinlcr %signcr %sistrip %sinpck %sparmrk\n", Flag(i & IXON),
           Flag(i & IXOFF), Flag(i & IXANY), Flag(i & ICRNL), Flag(i & INLCR), Flag(i & IGNCR), Flag(i & ISTRIP),
           Flag(i & INPCK), Flag(i & PARMRK));
    printf("lflag %sicanon %secho %sisig %siexten\n", Flag(l & ICANON), Flag(l & ECHO), Flag(l & ISIG),
           Flag(l & IEXTEN));
    printf("oflag %sopost\n", Flag(t.c_oflag & OPOST));
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        printf("serial %slow_latency\n", Flag(serial.flags & ASYNC_LOW_LATENCY));
    } else {
        printf("serial none\n");
    }
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        printf("modem %sdtr %srts\n", Flag(lines & TIOCM_DTR), Flag(lines & TIOCM_RTS));
    } else {
        printf("modem none\n");
    }
    close(fd);
    return 0;
}

int OpenPort(const char* name) {
    ComPort port;
    bool opened = port.Open(name, 115200, 500);
    printf("%s\n", opened ? "opened" : "refused");
    return opened ? 0 : 1;
}

// An ordinary user, whom a port's exclusive mode (TIOCEXCL) keeps out even
// where no lock is taken; root passes it.
int RunAsUser(char** argv) {
    if (setgroups(0, nullptr) != 0 || setgid(1000) != 0 || setuid(1000) != 0) {
        printf("cannot become user 1000: %s\n", strerror(errno));
        return 127;
    }
    execv(argv[0], argv);
    printf("cannot run %s: %s\n", argv[0], strerror(errno));
    return 127;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (argc > 3 && strcmp(argv[1], "user") != 0)) {
        fputs(kUsage, stdout);
        return 2;
    }
    if (!InsideTheGuest()) {
        printf("tessan-vm-guest: not inside the test virtual machine; nothing done\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "agent") return Agent(argv[2]);
    if (mode == "probe") return Probe(argv[2]);
    if (mode == "open") return OpenPort(argv[2]);
    if (mode == "user") return RunAsUser(argv + 2);
    fputs(kUsage, stdout);
    return 2;
}
