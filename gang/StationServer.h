// The station view's server: the page, /api/state and /api/events over HTTP,
// in threads of its own. The gang's loop hands it the whole state and the
// event that changed it; the server never touches a child and never makes
// the loop wait for a viewer.
#pragma once

#include <string>

class StationServer {
public:
    StationServer(); ~StationServer();            // the destructor stops it
    // Binds HOST:PORT and starts serving in its own threads; false with the system's reason in *why.
    bool Start(const std::string& host, int port, std::string* why);
    std::string Url() const;                      // "http://HOST:PORT/" (IPv6 host in brackets), the bound port
    // From the gang's single-threaded loop: the whole state now (the /api/state object, one JSON object)
    // and the event that changed it (one JSON object of the --json stream, no line feed). Never blocks on a viewer.
    void Publish(const std::string& stateJson, const std::string& eventJson);
    void Stop();                                  // ends every connection; idempotent
};
