// Starting and stopping ser2net with a configuration of the test's own,
// and the certificates its TLS accepters use.
#include "Ser2net.h"

#include <csignal>
#include <fstream>

#include <unistd.h>

#include "../TempDir.h"
#include "../e2e/Harness.h"
#include "ServerProcess.h"

namespace {

pid_t Spawn(const std::string& dir) {
    return SpawnServer({Ser2netProgram(), "-n", "-c", dir + "/ser2net.yaml", "-P", dir + "/ser2net.pid"},
                       dir + "/ser2net.log");
}

// The accepter's layers below telnet: TCP, or TLS over TCP demanding a
// client certificate.
std::string Transport(const Ser2net& server) {
    if (server.certs.empty()) return "tcp,";
    const std::string& c = server.certs;
    return "ssl(key=" + c + "/server.key,cert=" + c + "/" + server.serverCert + ".pem,clientauth),tcp,";
}

// A short name for a folder: the link /tmp/tc.XXXXXX/c, removed with its
// folder when the test program ends. A TLS URL's query names three files
// and the tool takes URLs of at most 255 characters, so the certificates
// must not be named by a path that grows with the build folder's.
class ShortName {
public:
    explicit ShortName(const std::string& target) {
        char pattern[] = "/tmp/tc.XXXXXX";
        if (target.empty() || mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        if (symlink(target.c_str(), (dir_ + "/c").c_str()) == 0) path_ = dir_ + "/c";
    }
    ~ShortName() {
        if (dir_.empty()) return;
        unlink((dir_ + "/c").c_str());
        rmdir(dir_.c_str());
    }
    ShortName(const ShortName&) = delete;
    ShortName& operator=(const ShortName&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string dir_, path_;
};

}  // namespace

std::string Ser2net::Url(bool rfc2217) const {
    return UrlWith(rfc2217, !certs.empty(), certs.empty() ? "" : CertQuery(certs));
}

std::string Ser2net::UrlWith(bool rfc2217, bool tls, const std::string& query) const {
    return std::string(rfc2217 ? "rfc2217" : "socket") + (tls ? "+tls" : "") + "://127.0.0.1:" +
           std::to_string(rfc2217 ? rfc2217Port : rawPort) + (query.empty() ? "" : "?" + query);
}

const std::string& TestCertificates() {
    static TempDir folder;
    static std::string made;
    static bool tried = false;
    if (!tried) {
        tried = true;
        // Those the test run made for all its tests, where they are.
        if (access(TESSAN_TEST_CERTS "/complete", F_OK) == 0) {
            made = TESSAN_TEST_CERTS;
        } else {
            const pid_t maker =
                StartProcess({"/bin/bash", TESSAN_SOURCE_DIR "/tests/net/make-test-certs", folder.path()},
                             folder.path(), folder.File("make.out"), folder.File("make.err"));
            if (maker > 0 && StopProcess(maker, 30) == 0) made = folder.path();
        }
        static ShortName link(made);
        made = link.path();
    }
    return made;
}

std::string CertQuery(const std::string& certs, const std::string& client, const std::string& ca) {
    std::string query = "ca=" + certs + "/" + ca + ".pem";
    if (!client.empty()) query += "&cert=" + certs + "/" + client + ".pem&key=" + certs + "/client.key";
    return query;
}

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
                   << "  accepter: " << (rfc2217 ? "telnet(rfc2217)," : "") << Transport(*server) << "127.0.0.1,"
                   << (rfc2217 ? server->rfc2217Port : server->rawPort) << "\n"
                   << "  connector: serialdev," << device << "," << line << ",local\n"
                   << "  options:\n"
                   << "    kickolduser: " << (kickOldUser ? "true" : "false") << "\n"
                   << "    chardelay: false\n";
            // A client certificate gets in where its common name has a
            // folder here whose allowed_certs/ hold its issuer.
            if (!server->certs.empty()) config << "    authdir: " << server->certs << "/auth\n";
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
