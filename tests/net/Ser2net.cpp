// Starting and stopping ser2net with a configuration of the test's own.
#include "Ser2net.h"

#include <csignal>
#include <fstream>

#include "ServerProcess.h"

namespace {

pid_t Spawn(const std::string& dir) {
    return SpawnServer({Ser2netProgram(), "-n", "-c", dir + "/ser2net.yaml", "-P", dir + "/ser2net.pid"},
                       dir + "/ser2net.log");
}

}  // namespace

std::string Ser2netProgram() {
    return FindProgram({"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"});
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
        if (WaitListening(server->pid, {server->rfc2217Port, server->rawPort})) return true;
        StopSer2net(server, SIGKILL);
    }
    return false;
}

void StopSer2net(Ser2net* server, int signal) { StopServerProcess(&server->pid, signal); }
