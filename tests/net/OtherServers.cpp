// Starting sredird and pySerial's example server for the tests.
#include "OtherServers.h"

#include <csignal>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "ServerProcess.h"

namespace {

const char kSredird[] = "/usr/sbin/sredird";
const char kSocat[] = "/usr/bin/socat";
// Debian's own python3: the package python3-serial installs pySerial for it,
// whatever other python3 comes first on the PATH.
const char kPython[] = "/usr/bin/python3";
const char kPyserialServer[] = "/usr/share/doc/python3-serial/examples/rfc2217_server.py";

bool Exists(const char* path) {
    struct stat s;
    return stat(path, &s) == 0;
}

// Starts `argv` (with "{PORT}" in its arguments replaced by a free port)
// and waits for it to listen there; tries a few ports, as another test may
// take a free one first.
bool StartListening(std::vector<std::string> argv, const std::string& log, pid_t* pid, int* port) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        *port = FreePort();
        std::vector<std::string> args;
        for (std::string a : argv) {
            size_t at = a.find("{PORT}");
            if (at != std::string::npos) a.replace(at, 6, std::to_string(*port));
            args.push_back(a);
        }
        *pid = SpawnServer(args, log);
        if (*pid < 0) return false;
        if (WaitListening(*pid, {*port})) return true;
        StopServerProcess(pid, SIGKILL);
    }
    return false;
}

}  // namespace

std::string OtherServersMissing() {
    if (!Exists(kSredird)) return "sredird is not installed";
    if (!Exists(kSocat)) return "socat is not installed";
    if (!Exists(kPyserialServer) || !Exists(kPython)) return "python3-serial is not installed";
    return "";
}

bool StartSredird(const std::string& dir, const std::string& device, OtherServer* server) {
    return StartListening({kSocat, "TCP-LISTEN:{PORT},bind=127.0.0.1,reuseaddr,fork",
                           std::string("EXEC:") + kSredird + " 3 " + device + " " + dir + "/LCK..sredird"},
                          dir + "/sredird.log", &server->pid, &server->port);
}

bool StartPyserialLine(const std::string& linePath, OtherServer* server, int* linePort) {
    if (!StartListening({kSocat, "PTY,link=" + linePath + ",raw,echo=0",
                         "TCP-LISTEN:{PORT},bind=127.0.0.1,reuseaddr"},
                        linePath + ".log", &server->linePid, linePort)) {
        return false;
    }
    // socat makes the pty before it listens; the link is there by now.
    return Exists(linePath.c_str());
}

bool StartPyserialServer(const std::string& dir, int linePort, OtherServer* server) {
    return StartListening({kPython, kPyserialServer, "-p", "{PORT}", "socket://127.0.0.1:" + std::to_string(linePort)},
                          dir + "/pyserial.log", &server->pid, &server->port);
}

void StopOtherServer(OtherServer* server) {
    StopServerProcess(&server->pid, SIGTERM);
    StopServerProcess(&server->linePid, SIGTERM);
}
