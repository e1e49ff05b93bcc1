// The station view's HTTP server: the page, the state and the event stream,
// read-only, on threads of its own. The gang's loop hands it each state and
// event through Publish, which never waits for a viewer.
#pragma once

#include <memory>
#include <string>

class StationServer {
public:
    StationServer();
    ~StationServer();  // stops it
    StationServer(const StationServer&) = delete;
    StationServer& operator=(const StationServer&) = delete;

    // Binds HOST:PORT (port 0: any free port) and starts serving in its own
    // threads; false with the system's reason in *why.
    bool Start(const std::string& host, int port, std::string* why);
    // "http://HOST:PORT/" (an IPv6 host in brackets) with the bound port.
    std::string Url() const;
    // The whole state now (the /api/state object) and the event that changed
    // it (one object of the --json stream, no line feed; empty: the state
    // alone). Never blocks on a viewer: a viewer that cannot keep up is
    // dropped.
    void Publish(const std::string& stateJson, const std::string& eventJson);
    // Ends every connection; idempotent.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
