// Starting and stopping ser2net, and making sure the ports it listens on
// are its own: a free port picked here could be taken by another test's
// server before ser2net binds it.
#include "Ser2net.h"

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

// A port nobody listens on at this moment: the kernel's pick for port 0.
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

// Whether process `pid` holds a socket listening on `port`.
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

bool Running(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

pid_t Spawn(const std::string& dir) {
    const std::string program = Ser2netProgram();
    const std::string config = dir + "/ser2net.yaml", pidFile = dir + "/ser2net.pid", log = dir + "/ser2net.log";
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
    execl(program.c_str(), program.c_str(), "-n", "-c", config.c_str(), "-P", pidFile.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
}

}  // namespace

std::string Ser2netProgram() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        struct stat s;
        if (stat(path, &s) == 0 && (s.st_mode & S_IXUSR)) return path;
    }
    return "";
}

bool StartSer2net(const std::string& dir, const std::string& device, Ser2net* server, const std::string& line,
                  bool kickOldUser) {
    if (Ser2netProgram().empty()) return false;
    const bool choose = server->rfc2217Port == 0;
    for (int attempt = 0; attempt < (choose ? 5 : 1); ++attempt) {
        if (choose) {
            server->rfc2217Port = FreePort();
            do server->rawPort = FreePort(); while (server->rawPort == server->rfc2217Port);
        }
        std::ofstream config(dir + "/ser2net.yaml");
        for (int rfc2217 = 1; rfc2217 >= 0; --rfc2217) {
            config << "connection: &" << (rfc2217 ? "rfc2217" : "raw") << "\n"
                   << "  accepter: " << (rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1,"
                   << (rfc2217 ? server->rfc2217Port : server->rawPort) << "\n"
                   << "  connector: serialdev," << device << "," << line << ",local\n"
                   << "  options:\n"
                   << "    kickolduser: " << (kickOldUser ? "true" : "false") << "\n"
                   << "    chardelay: false\n";
        }
        config.close();

        server->pid = Spawn(dir);
        if (server->pid < 0) return false;
        auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end && Running(server->pid)) {
            if (Listens(server->pid, server->rfc2217Port) && Listens(server->pid, server->rawPort)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        StopSer2net(server, SIGKILL);
    }
    return false;
}

void StopSer2net(Ser2net* server, int signal) {
    if (server->pid <= 0) return;
    kill(-server->pid, signal);
    auto end = Clock::now() + std::chrono::seconds(3);
    int status;
    while (waitpid(server->pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= end) {
            kill(-server->pid, SIGKILL);
            waitpid(server->pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    server->pid = -1;
}
