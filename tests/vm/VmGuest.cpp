// The test virtual machine's host side: QEMU's command line, its monitor
// (QMP, one JSON object a line) and the agent's request/answer channel.
#include "VmGuest.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "../e2e/Harness.h"

namespace {

// The UARTs under test, the first two -serial options: the guest's ttyS0
// and ttyS1 (ttyS2 is the console, ttyS3 the agent's channel).
const char* const kUartLabels[] = {"com1", "com2"};

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int ConnectUnix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

// Appends what `fd` has to `buffer`, waiting until `deadline` for the first
// bytes. False on the deadline, the end of the stream or an error.
bool Fill(int fd, std::string* buffer, double deadline) {
    const double left = deadline - Now();
    if (left <= 0) return false;
    pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (r <= 0) return false;
    char chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<size_t>(n));
    return true;
}

}  // namespace

VmGuest::~VmGuest() { Shutdown(); }

bool VmGuest::Boot(const std::string& qemu, const std::string& guestDir, const std::string& workDir,
                   std::string* error) {
    workDir_ = workDir;
    std::string kernel = Slurp(guestDir + "/kernel");
    while (!kernel.empty() && (kernel.back() == '\n' || kernel.back() == ' ')) kernel.pop_back();
    if (kernel.empty()) {
        *error = "no kernel named in " + guestDir + "/kernel (tests/vm/build-guest has not run)";
        return false;
    }
    char dir[] = "/tmp/tessan-vm.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        *error = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    socketDir_ = dir;
    const std::string qmpSocket = socketDir_ + "/qmp", agentSocket = socketDir_ + "/agent";

    std::vector<std::string> argv = {qemu, "-machine", "pc", "-m", "256", "-smp", "1", "-nographic",
                                     "-no-reboot", "-monitor", "none", "-kernel", kernel,
                                     "-initrd", guestDir + "/initrd.gz",
                                     "-append", "console=ttyS2 quiet panic=-1"};
    for (const char* label : kUartLabels) {
        argv.insert(argv.end(), {"-chardev", std::string("pty,id=") + label, "-serial",
                                 std::string("chardev:") + label});
    }
    argv.insert(argv.end(), {"-serial", "file:" + ConsolePath(),
                             "-chardev", "socket,id=agent,path=" + agentSocket + ",server=on,wait=off",
                             "-serial", "chardev:agent",
                             "-device", "qemu-xhci", "-chardev", "pty,id=usb",
                             "-device", std::string("usb-serial,chardev=usb,id=adapter,always-plugged=on,port=1,serial=") +
                                            kAdapterSerial,
                             "-qmp", "unix:" + qmpSocket + ",server=on,wait=off"});
    qemu_ = StartProcess(argv, workDir, workDir + "/qemu.out", workDir + "/qemu.err");

    // The monitor: its greeting, then capabilities, then where each port's
    // pseudo-terminal is.
    const double monitorDeadline = Now() + 30;
    while ((qmp_ = ConnectUnix(qmpSocket)) < 0 && Now() < monitorDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string line, reply;
    if (qmp_ < 0 || !QmpLine(&line, monitorDeadline) ||
        !Qmp("{\"execute\":\"qmp_capabilities\"}", &reply, error) ||
        !Qmp("{\"execute\":\"query-chardev\"}", &reply, error)) {
        if (error->empty()) *error = "QEMU's monitor did not answer; see " + workDir + "/qemu.err";
        return false;
    }
    // [{"frontend-open": true, "filename": "pty:/dev/pts/3", "label": "com1"}, ...]
    for (size_t at = reply.find('{', 1); at != std::string::npos; at = reply.find('{', at + 1)) {
        const std::string object = reply.substr(at, reply.find('}', at) - at);
        const size_t pty = object.find("\"pty:");
        const size_t label = object.find("\"label\": \"");
        if (pty == std::string::npos || label == std::string::npos) continue;
        const std::string device = object.substr(pty + 5, object.find('"', pty + 5) - pty - 5);
        const std::string name = object.substr(label + 10, object.find('"', label + 10) - label - 10);
        ports_.push_back({name, device});
        int keeper = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t;
        if (keeper >= 0 && tcgetattr(keeper, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(keeper, TCSANOW, &t);
        }
        keepers_.push_back(keeper);
    }
    if (HostSide("com1").empty() || HostSide("com2").empty() || HostSide("usb").empty()) {
        *error = "QEMU did not report the ports' pseudo-terminals: " + reply;
        return false;
    }

    // The agent answers once the guest has booted. A request sent before its
    // port was open is partly lost; each PING repeats until one is answered.
    agent_ = ConnectUnix(agentSocket);
    const double bootDeadline = Now() + 150;
    for (int token = 1; agent_ >= 0 && Now() < bootDeadline; ++token) {
        if (Ping(token, 1)) {
            booted_ = true;
            return true;
        }
    }
    *error = "the guest's agent did not answer; see " + ConsolePath();
    return false;
}

void VmGuest::Shutdown() {
    if (qemu_ > 0) {
        std::string reply, error;
        if (qmp_ >= 0) Qmp("{\"execute\":\"quit\"}", &reply, &error);
        StopProcess(qemu_, 10);
        qemu_ = -1;
    }
    for (int fd : keepers_) {
        if (fd >= 0) close(fd);
    }
    keepers_.clear();
    if (qmp_ >= 0) close(qmp_);
    if (agent_ >= 0) close(agent_);
    qmp_ = agent_ = -1;
    if (!socketDir_.empty()) {
        unlink((socketDir_ + "/qmp").c_str());
        unlink((socketDir_ + "/agent").c_str());
        rmdir(socketDir_.c_str());
        socketDir_.clear();
    }
}

std::string VmGuest::HostSide(const std::string& label) const {
    for (const auto& port : ports_) {
        if (port.first == label) return port.second;
    }
    return "";
}

// ---- the agent ---------------------------------------------------------------

bool VmGuest::Request(const std::string& head, const std::string& payload) {
    if (agent_ < 0 || lost_) return false;
    if (SendAll(agent_, head + "\n" + payload)) return true;
    lost_ = booted_;
    return false;
}

// "OK LEN\n" or "ERR LEN\n", then LEN bytes. Other lines are passed over:
// while the guest boots, its port echoes what reaches it before the agent
// has made it raw.
bool VmGuest::Answer(double deadline, bool* ok, std::string* payload) {
    size_t end;
    std::string head;
    for (;;) {
        while ((end = agentBuffer_.find('\n')) == std::string::npos) {
            if (!Fill(agent_, &agentBuffer_, deadline)) {
                lost_ = booted_;  // while booting, an unanswered PING is expected
                return false;
            }
        }
        head = agentBuffer_.substr(0, end);
        if (head.compare(0, 3, "OK ") == 0 || head.compare(0, 4, "ERR ") == 0) break;
        agentBuffer_.erase(0, end + 1);
    }
    const size_t space = head.find(' ');
    const size_t length = strtoul(head.c_str() + space + 1, nullptr, 10);
    while (agentBuffer_.size() < end + 1 + length) {
        if (!Fill(agent_, &agentBuffer_, deadline)) {
            lost_ = booted_;
            return false;
        }
    }
    *ok = head.compare(0, space, "OK") == 0;
    *payload = agentBuffer_.substr(end + 1, length);
    agentBuffer_.erase(0, end + 1 + length);
    return true;
}

// Answers to earlier PINGs that got through late are read and passed over.
bool VmGuest::Ping(int token, double seconds) {
    const std::string want = std::to_string(token);
    if (!Request("PING 0 " + want, "")) return false;
    const double deadline = Now() + seconds;
    bool ok = false;
    std::string payload;
    while (Answer(deadline, &ok, &payload)) {
        if (ok && payload == want) return true;
    }
    return false;
}

bool VmGuest::Put(const std::string& guestPath, const std::string& data) {
    bool ok = false;
    std::string payload;
    return Request("PUT " + std::to_string(data.size()) + " " + guestPath, data) &&
           Answer(Now() + 30, &ok, &payload) && ok;
}

bool VmGuest::Get(const std::string& guestPath, std::string* data) {
    bool ok = false;
    return Request("GET 0 " + guestPath, "") && Answer(Now() + 30, &ok, data) && ok;
}

bool VmGuest::Start(const std::string& script) {
    return Request("RUN " + std::to_string(script.size()), script);
}

bool VmGuest::Done() {
    if (lost_ || agentBuffer_.find('\n') != std::string::npos) return true;
    pollfd p = {agent_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool VmGuest::Finish(double seconds, int* status) {
    bool ok = false;
    std::string payload;
    if (!Answer(Now() + seconds, &ok, &payload) || !ok) return false;
    *status = atoi(payload.c_str());
    return true;
}

bool VmGuest::Run(const std::string& script, double seconds, int* status) {
    return Start(script) && Finish(seconds, status);
}

// ---- the monitor ---------------------------------------------------------------

bool VmGuest::QmpLine(std::string* line, double deadline) {
    size_t end;
    while ((end = qmpBuffer_.find('\n')) == std::string::npos) {
        if (!Fill(qmp_, &qmpBuffer_, deadline)) return false;
    }
    *line = qmpBuffer_.substr(0, end);
    qmpBuffer_.erase(0, end + 1);
    return true;
}

// Sends one command and reads up to its answer; events that come first are
// kept for QmpEvent.
bool VmGuest::Qmp(const std::string& command, std::string* reply, std::string* error) {
    if (qmp_ < 0 || !SendAll(qmp_, command + "\n")) {
        *error = "QEMU's monitor is gone";
        return false;
    }
    const double deadline = Now() + 30;
    std::string line;
    while (QmpLine(&line, deadline)) {
        if (line.find("\"event\"") != std::string::npos) {
            qmpEvents_.push_back(line);
        } else if (line.find("\"return\"") != std::string::npos) {
            *reply = line;
            return true;
        } else if (line.find("\"error\"") != std::string::npos) {
            *error = command + ": " + line;
            return false;
        }
    }
    *error = command + ": no answer from QEMU's monitor";
    return false;
}

bool VmGuest::QmpEvent(const std::string& name, double seconds) {
    const std::string tag = "\"event\": \"" + name + "\"";
    const double deadline = Now() + seconds;
    for (;;) {
        for (size_t i = 0; i < qmpEvents_.size(); ++i) {
            if (qmpEvents_[i].find(tag) != std::string::npos) {
                qmpEvents_.erase(qmpEvents_.begin() + static_cast<long>(i));
                return true;
            }
        }
        std::string line;
        if (!QmpLine(&line, deadline)) return false;
        qmpEvents_.push_back(line);
    }
}

bool VmGuest::Unplug(std::string* error) {
    std::string reply;
    if (!Qmp("{\"execute\":\"device_del\",\"arguments\":{\"id\":\"adapter\"}}", &reply, error)) return false;
    if (QmpEvent("DEVICE_DELETED", 10)) return true;
    *error = "QEMU did not report the adapter deleted";
    return false;
}

bool VmGuest::Plug(std::string* error) {
    std::string reply;
    return Qmp("{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",\"chardev\":\"usb\","
               "\"id\":\"adapter\",\"always-plugged\":true,\"port\":\"1\",\"serial\":\"" + std::string(kAdapterSerial) +
                   "\"}}",
               &reply, error);
}
