// Starting serial servers for the tests and making sure the ports they
// listen on are their own: a free port picked here could be taken by
// another test's server before the server binds it.
#include "ServerProcess.h"

#include <chrono>
#include <csignal>
#include <cstdio>
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
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
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
    kill(-*pid, signal);
    auto end = Clock::now() + std::chrono::seconds(3);
    int status;
    while (waitpid(*pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= end) {
            kill(-*pid, SIGKILL);
            waitpid(*pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    *pid = -1;
}

std::string FindProgram(const std::vector<std::string>& candidates) {
    for (const std::string& path : candidates) {
        struct stat s;
        if (stat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode) && (s.st_mode & S_IXUSR)) return path;
    }
    return "";
}
