// The network runners: a server started per run (ser2net, sredird or
// pySerial's), its URL as the port.
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

// The same through ser2net's TLS accepters.
bool StartTls(const std::string& dir, int) {
    Ser2net server;
    server.certs = TestCertificates();
    return !server.certs.empty() && StartRunServer(dir, &server);
}

void Stop(const std::string& dir, int) {
    Ser2net server;
    server.pid = atoi(Slurp(dir + "/ser2net.child").c_str());
    StopSer2net(&server);
}

std::string Rfc2217Url(const std::string& dir, int) { return Slurp(dir + "/rfc2217.url"); }
std::string SocketUrl(const std::string& dir, int) { return Slurp(dir + "/socket.url"); }

// sredird in front of the sim's pty; its pid and URL kept in the folder.
bool StartSredirdHook(const std::string& dir, int) {
    OtherServer server;
    if (!StartSredird(dir, SimPort(dir, 0), &server)) return false;
    WriteFile(dir + "/server.child", std::to_string(server.pid));
    WriteFile(dir + "/server.url", server.Url());
    return true;
}

std::string OtherServerUrl(const std::string& dir, int) { return Slurp(dir + "/server.url"); }

void StopOtherServerHook(const std::string& dir, int) {
    OtherServer server;
    server.pid = atoi(Slurp(dir + "/server.child").c_str());
    server.linePid = atoi(Slurp(dir + "/line.child").c_str());
    if (server.pid == 0) server.pid = -1;
    if (server.linePid == 0) server.linePid = -1;
    StopOtherServer(&server);
}

// pySerial's server: the line first (before the sim, which opens it), then
// the server on it.
std::string LinePath(const std::string& dir, int) { return dir + "/line"; }

bool StartPyserialLineHook(const std::string& dir, int) {
    OtherServer line;
    int linePort = 0;
    if (!StartPyserialLine(LinePath(dir, 0), &line, &linePort)) return false;
    WriteFile(dir + "/line.child", std::to_string(line.linePid));
    WriteFile(dir + "/line.port", std::to_string(linePort));
    return true;
}

bool StartPyserialHook(const std::string& dir, int) {
    OtherServer server;
    if (!StartPyserialServer(dir, atoi(Slurp(dir + "/line.port").c_str()), &server)) return false;
    WriteFile(dir + "/server.child", std::to_string(server.pid));
    WriteFile(dir + "/server.url", server.Url());
    return true;
}

// A sim on a connected line ends by itself once the line has been quiet
// (--quiet-end) and writes its log then; the line must last until it has,
// or its end would look like a line that dropped.
void StopPyserialHook(const std::string& dir, int slot) {
    WaitForText(dir + "/sim.log", "result", 10);
    StopOtherServerHook(dir, slot);
}

}  // namespace

bool StartRunServer(const std::string& dir, Ser2net* server, bool kickOldUser) {
    if (!StartSer2net(dir, SimPort(dir, 0), server, "115200n81", kickOldUser)) return false;
    WriteFile(dir + "/ser2net.child", std::to_string(server->pid));  // for the stop hook
    WriteFile(dir + "/rfc2217.url", server->Url(true));
    WriteFile(dir + "/socket.url", server->Url(false));
    return true;
}

// `base` with a server between it and the sim: the hooks start and stop
// the server, `url` reads the port it serves (the name the tool prints).
Runner WithServer(const Runner& base, const std::string& suffix, std::string (*publish)(const std::string&, int),
                  std::string (*url)(const std::string&, int), bool (*start)(const std::string&, int),
                  void (*stop)(const std::string&, int)) {
    Runner runner = base;
    runner.label = base.label + suffix;
    runner.publishPath = publish;
    runner.portValue = url;
    runner.portName = url;
    runner.startServer = start;
    runner.stopServer = stop;
    return runner;
}

Runner OverNetwork(const Runner& base, bool rfc2217) {
    Runner runner = WithServer(base, rfc2217 ? "-rfc2217" : "-socket", SimPort, rfc2217 ? Rfc2217Url : SocketUrl,
                               Start, Stop);
    runner.rawNetwork = !rfc2217;
    return runner;
}

Runner OverTlsNetwork(const Runner& base, bool rfc2217) {
    Runner runner = WithServer(base, rfc2217 ? "-rfc2217-tls" : "-socket-tls", SimPort,
                               rfc2217 ? Rfc2217Url : SocketUrl, StartTls, Stop);
    runner.rawNetwork = !rfc2217;
    runner.tlsNetwork = true;
    return runner;
}

Runner OverSredird(const Runner& base) {
    Runner runner = WithServer(base, "-sredird", SimPort, OtherServerUrl, StartSredirdHook, StopOtherServerHook);
    runner.openBeforeNegotiation = true;
    return runner;
}

Runner OverPyserial(const Runner& base) {
    Runner runner = WithServer(base, "-pyserial", LinePath, OtherServerUrl, StartPyserialHook, StopPyserialHook);
    runner.startLine = StartPyserialLineHook;
    return runner;
}
