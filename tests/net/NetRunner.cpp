// The network runners: ser2net started per run, its URL as the port.
#include "NetRunner.h"

#include <cstdlib>
#include <fstream>


namespace {

std::string SimPort(const std::string& dir, int) { return dir + "/port"; }

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

bool Start(const std::string& dir, int) {
    Ser2net server;
    return StartRunServer(dir, &server);
}

void Stop(const std::string& dir, int) {
    Ser2net server;
    server.pid = atoi(Slurp(dir + "/ser2net.child").c_str());
    StopSer2net(&server);
}

std::string Rfc2217Url(const std::string& dir, int) { return Slurp(dir + "/rfc2217.url"); }
std::string SocketUrl(const std::string& dir, int) { return Slurp(dir + "/socket.url"); }

}  // namespace

bool StartRunServer(const std::string& dir, Ser2net* server, bool kickOldUser) {
    if (!StartSer2net(dir, SimPort(dir, 0), server, "115200n81", kickOldUser)) return false;
    WriteFile(dir + "/ser2net.child", std::to_string(server->pid));  // for the stop hook
    WriteFile(dir + "/rfc2217.url", server->Url(true));
    WriteFile(dir + "/socket.url", server->Url(false));
    return true;
}

Runner OverNetwork(const Runner& base, bool rfc2217) {
    Runner runner = base;
    runner.label = base.label + (rfc2217 ? "-rfc2217" : "-socket");
    runner.publishPath = SimPort;
    runner.portValue = rfc2217 ? Rfc2217Url : SocketUrl;
    runner.portName = runner.portValue;
    runner.startServer = Start;
    runner.stopServer = Stop;
    runner.rawNetwork = !rfc2217;
    return runner;
}
