// A TCP server of the test's own on loopback, for network port tests that
// need a server to misbehave exactly so: it accepts one connection and
// runs a script on it in a thread of its own.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TelnetBytes.h"

class FakeServer {
public:
    // Listens on 127.0.0.1 (or ::1) at a free port; `script` gets the
    // accepted connection, which is closed when the script returns.
    explicit FakeServer(std::function<void(int)> script, bool ipv6 = false, int backlog = 4) {
        listener_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (ipv6) {
            sockaddr_in6 a = {};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        } else {
            sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        }
        if (listen(listener_, backlog) != 0) return;
        sockaddr_storage bound = {};
        socklen_t length = sizeof bound;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        if (!script) return;  // listens, never accepts
        thread_ = std::thread([this, script] {
            struct pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 15000) != 1) return;
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            script(fd);
            close(fd);
        });
    }
    ~FakeServer() {
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int port() const { return port_; }
    std::string Url(const std::string& scheme, const std::string& host = "127.0.0.1") const {
        return scheme + "://" + host + ":" + std::to_string(port_);
    }
    // Waits for the script to end.
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// What a script uses on its connection.
inline bool SendBytes(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t k = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (k <= 0) return false;
        done += static_cast<size_t>(k);
    }
    return true;
}

// Reads until `want` bytes have come (0: until the client closes) or
// `ms` pass.
inline Bytes ReceiveBytes(int fd, size_t want, int ms) {
    Bytes got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (want == 0 || got.size() < want) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) != 1) break;
        unsigned char buffer[4096];
        ssize_t k = recv(fd, buffer, want == 0 ? sizeof buffer : std::min(sizeof buffer, want - got.size()), 0);
        if (k <= 0) break;
        got.append(buffer, static_cast<size_t>(k));
    }
    return got;
}
