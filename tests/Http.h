// Raw HTTP/1.1 exchanges with a server on 127.0.0.1 for the station view's
// tests, so malformed and oversized requests can be sent too.
#pragma once

#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A connection to 127.0.0.1:port (-1 when refused); reads wait 30 s at most.
// A small receive buffer makes a reader that never reads stall the server
// sooner.
inline int Connect(int port, int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval limit = {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    close(fd);
    return -1;
}

// Sends `request` as it is and reads the answer until the server closes
// (not `whole`: to the end of the answer's headers).
inline std::string Exchange(int port, const std::string& request, bool whole = true) {
    const int fd = Connect(port);
    std::string answer;
    char buffer[4096];
    if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        for (ssize_t n; (whole || answer.find("\r\n\r\n") == std::string::npos) &&
                        (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    if (fd >= 0) close(fd);
    return answer;
}

inline std::string Get(int port, const std::string& path) {
    return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

inline std::string StatusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

inline std::string BodyOf(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? "" : answer.substr(end + 4);
}

// The data of each message of an event stream, in order.
inline std::vector<std::string> EventData(const std::string& stream) {
    std::vector<std::string> data;
    for (size_t at = stream.find("\ndata: "); at != std::string::npos; at = stream.find("\ndata: ", at + 1)) {
        data.push_back(stream.substr(at + 7, stream.find('\n', at + 7) - at - 7));
    }
    return data;
}

