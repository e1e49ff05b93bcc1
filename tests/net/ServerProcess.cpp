// Starting serial servers for the tests and making sure the ports they
// listen on are their own: a free port picked here could be taken by
// another test's server before the server binds it.
#include "ServerProcess.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

typedef std::chrono::steady_clock Clock;

// The socket inodes listening on `port`, from the kernel's tables.
std::set<std::string> ListeningInodes(int port) {
    std::set<std::string> inodes;
    char hexPort[8];
    snprintf(hexPort, sizeof hexPort, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, hexPort) == 0) {
                inodes.insert(inode);
            }
        }
    }
    return inodes;
}

bool Running(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// What SpawnServer puts in a server's environment: the build's folder, so
// that the servers of another build's tests are not this one's.
const std::string kMark = std::string("TESSAN_TEST_SERVER=") + TESSAN_BUILD_DIR;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A running process as /proc shows it.
struct Process {
    pid_t pid;
    pid_t group;
    std::string environment;  // NUL-separated, as the kernel keeps it
    std::string args;         // the command line, spaces between its words
};

// Every process but the zombies; their environment and command line only
// `withDetails`.
std::vector<Process> LiveProcesses(bool withDetails) {
    std::vector<Process> processes;
    DIR* d = opendir("/proc");
    if (!d) return processes;
    while (dirent* e = readdir(d)) {
        const pid_t pid = atoi(e->d_name);
        if (pid <= 0) continue;
        const std::string dir = std::string("/proc/") + e->d_name;
        const std::string stat = ReadAll(dir + "/stat");  // "PID (NAME) STATE PPID PGRP ..."
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int parent = 0, group = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &parent, &group) != 3 || state == 'Z') continue;
        Process p = {pid, group, "", ""};
        if (withDetails) {
            p.environment = ReadAll(dir + "/environ");
            p.args = ReadAll(dir + "/cmdline");
        }
        for (char& c : p.args) {
            if (c == '\0') c = ' ';
        }
        processes.push_back(p);
    }
    closedir(d);
    return processes;
}

bool Marked(const Process& p) {
    size_t at = 0;
    while (at < p.environment.size()) {
        size_t end = p.environment.find('\0', at);
        if (end == std::string::npos) end = p.environment.size();
        if (p.environment.compare(at, end - at, kMark) == 0) return true;
        at = end + 1;
    }
    return false;
}

}  // namespace

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        port = ntohs(a.sin_port);
    }
    close(s);
    return port;
}

bool Listens(pid_t pid, int port) {
    std::set<std::string> inodes = ListeningInodes(port);
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fdDir.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[128];
        ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        std::string t = target;  // "socket:[INODE]"
        if (t.compare(0, 8, "socket:[") == 0 && inodes.count(t.substr(8, t.size() - 9))) found = true;
    }
    closedir(d);
    return found;
}

pid_t SpawnServer(const std::vector<std::string>& argv, const std::string& log) {
    // Everything the child needs is made before the fork: the tests run
    // threads, and a child of a threaded process may not allocate.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> environment;
    for (char** v = environ; *v; ++v) {
        if (strncmp(*v, "TESSAN_TEST_SERVER=", 19) != 0) environment.push_back(*v);
    }
    environment.push_back(const_cast<char*>(kMark.c_str()));
    environment.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execve(args[0], args.data(), environment.data());
    _exit(127);
}

bool WaitListening(pid_t pid, const std::vector<int>& ports) {
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end && Running(pid)) {
        bool all = true;
        for (int port : ports) all = all && Listens(pid, port);
        if (all) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void StopServerProcess(pid_t* pid, int signal) {
    if (*pid <= 0) return;
    const pid_t group = *pid;
    kill(-group, signal);
    // The leader's end is awaited without reaping it: until it is reaped
    // its pid, and so the group's number, cannot go to another process.
    auto end = Clock::now() + std::chrono::seconds(3);
    siginfo_t info;
    for (;;) {
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(group), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) break;
        if (Clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Whatever the leader started goes with it, whether it took the signal
    // or not: sredird, which socat starts for each connection, lives on
    // after a SIGTERM and spins on its closed descriptors.
    kill(-group, SIGKILL);
    int status;
    waitpid(group, &status, 0);
    end = Clock::now() + std::chrono::seconds(3);
    while (LiveProcessesInGroup(group) > 0 && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    *pid = -1;
}

std::vector<std::string> ServersLeftBehind(bool end) {
    std::vector<std::string> left;
    for (const Process& p : LiveProcesses(true)) {
        if (!Marked(p)) continue;
        left.push_back(std::to_string(p.pid) + " " + p.args);
        if (end) kill(p.pid, SIGKILL);
    }
    return left;
}

std::vector<pid_t> ProcessesInGroup(pid_t group) {
    std::vector<pid_t> members;
    for (const Process& p : LiveProcesses(false)) {
        if (p.group == group) members.push_back(p.pid);
    }
    return members;
}

std::string FindProgram(const std::vector<std::string>& candidates) {
    for (const std::string& path : candidates) {
        struct stat s;
        if (stat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode) && (s.st_mode & S_IXUSR)) return path;
    }
    return "";
}
