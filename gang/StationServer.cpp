// The station view's HTTP server on cpp-httplib: GET / (the page and its
// style and script), GET /api/state and GET /api/events (Server-Sent
// Events). Read-only; every other path is 404, every other method 405. The
// gang's loop publishes into it under one lock; each viewer has a bounded
// queue of its own, and one that falls behind is dropped, so flashing never
// waits for a viewer. This is the only file that includes httplib.h.
#include "StationServer.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#endif

// The queue of connections not yet taken: the library's default (5)
// refuses a burst of viewers. This applies where the header is compiled
// whole; with Debian's library the queue is set again after the bind.
#define CPPHTTPLIB_LISTEN_BACKLOG 128
#include <httplib.h>

#include "StationPage.h"

namespace {

// Bounds of each connection: a client that sends nothing, or reads nothing,
// holds a thread this long at most.
const time_t kReadSeconds = 2;
const time_t kWriteSeconds = 2;
const time_t kKeepAliveSeconds = 2;
const size_t kKeepAliveRequests = 20;
// Threads: enough that fifty idle connections leave the page its own.
const size_t kThreads = 64;
// Event streams at once; one more is told to come back later (503).
const size_t kMaxViewers = 16;
// A viewer's queue: past either bound it is dropped.
const size_t kQueueMessages = 1024;
const size_t kQueueBytes = 1 << 20;
// The request's line and headers together, as the client sent them.
const size_t kHeaderBytes = 8192;
// A stream with nothing to say sends a comment this often, so a client that
// went away is noticed.
const int kQuietSeconds = 10;
const int kBacklog = 128;

struct Viewer {
    std::deque<std::string> queue;
    size_t bytes = 0;
    bool dropped = false;
};

std::string SocketReason() {
#ifdef _WIN32
    const int code = WSAGetLastError();
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, text,
                                   sizeof text, nullptr);
    std::string reason(text, n);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ' ||
                               reason.back() == '.')) {
        reason.pop_back();
    }
    return reason.empty() ? "error " + std::to_string(code) : reason;
#else
    return errno != 0 ? strerror(errno) : "the address cannot be used";
#endif
}

// The listening socket: one owner per address (no port sharing), and kept
// from the children; *bound is the last one made.
void ListenOptions(socket_t sock, socket_t* bound) {
    *bound = sock;
    int yes = 1;
#ifdef _WIN32
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
#else
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    fcntl(sock, F_SETFD, FD_CLOEXEC);
#endif
}

// The size of the request's line and headers as the client sent them.
size_t RequestBytes(const httplib::Request& request) {
    size_t bytes = request.method.size() + request.target.size() + request.version.size() + 4;
    for (const auto& header : request.headers) bytes += header.first.size() + header.second.size() + 4;
    return bytes;
}

}  // namespace

struct StationServer::Impl {
    httplib::Server server;
    std::thread thread;
    std::string host;
    int port = 0;
    bool started = false;
    socket_t listening = INVALID_SOCKET;

    std::mutex lock;  // everything below
    std::condition_variable changed;
    std::string state = "{}";
    std::list<std::shared_ptr<Viewer>> viewers;
    bool stopping = false;

    void Routes();
    bool Stream(Viewer& viewer, httplib::DataSink& sink);
};

void StationServer::Impl::Routes() {
    server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server.set_socket_options([this](socket_t sock) { ListenOptions(sock, &listening); });
    server.set_read_timeout(kReadSeconds, 0);
    server.set_write_timeout(kWriteSeconds, 0);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.set_payload_max_length(kHeaderBytes);
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        const std::string& path = request.path;
        if (RequestBytes(request) > kHeaderBytes) {
            response.status = 431;
            response.set_header("Connection", "close");
        } else if (path != "/" && path != "/style.css" && path != "/app.js" && path != "/api/state" &&
                   path != "/api/events") {
            response.status = 404;
        } else if (request.method != "GET") {
            response.status = 405;
            response.set_header("Allow", "GET");
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.set_content(std::to_string(response.status) + "\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    const auto asset = [this](const char* path, const char* text, const char* type) {
        server.Get(path, [text, type](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-cache");
            response.set_content(text, type);
        });
    };
    asset("/", kStationIndex, "text/html; charset=utf-8");
    asset("/style.css", kStationStyle, "text/css; charset=utf-8");
    asset("/app.js", kStationScript, "text/javascript; charset=utf-8");
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
        std::string body;
        {
            std::lock_guard<std::mutex> hold(lock);
            body = state;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(body + "\n", "application/json");
    });
    server.Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
        auto viewer = std::make_shared<Viewer>();
        {
            std::lock_guard<std::mutex> hold(lock);
            if (viewers.size() >= kMaxViewers || stopping) {
                response.status = 503;
                response.set_content("503\n", "text/plain");
                return;
            }
            // The first message: the whole state, as an event of its own.
            const std::string message =
                "data: {\"event\":\"state\"" + (state.size() > 2 ? "," + state.substr(1) : "}") + "\n\n";
            viewer->queue.push_back(message);
            viewer->bytes = message.size();
            viewers.push_back(viewer);
        }
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, viewer](size_t, httplib::DataSink& sink) { return Stream(*viewer, sink); },
            [this, viewer](bool) {
                std::lock_guard<std::mutex> hold(lock);
                viewers.remove(viewer);
                changed.notify_all();
            });
    });
}

// Writes what the viewer's queue holds, waiting for it when it is empty;
// false ends the stream (stopped, dropped, or the client gone).
bool StationServer::Impl::Stream(Viewer& viewer, httplib::DataSink& sink) {
    std::deque<std::string> messages;
    bool last = false;
    {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, std::chrono::seconds(kQuietSeconds),
                         [&] { return !viewer.queue.empty() || viewer.dropped || stopping; });
        if (viewer.dropped) return false;
        messages.swap(viewer.queue);
        viewer.bytes = 0;
        last = stopping;
    }
    if (messages.empty() && !last) messages.push_back(":\n\n");
    for (const std::string& message : messages) {
        if (!sink.write(message.data(), message.size())) return false;
    }
    return !last;
}

StationServer::StationServer() : impl_(new Impl) {}

StationServer::~StationServer() { Stop(); }

bool StationServer::Start(const std::string& host, int port, std::string* why) {
    if (impl_->started) {
        *why = "already serving";
        return false;
    }
    impl_->Routes();
    errno = 0;
#ifdef _WIN32
    WSASetLastError(0);
#endif
    // A name that does not resolve gets the resolver's own reason.
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        *why = gai_strerror(resolved);
        return false;
    }
    freeaddrinfo(found);
    const int bound = port == 0 ? impl_->server.bind_to_any_port(host) : impl_->server.bind_to_port(host, port) ? port : -1;
    if (bound <= 0) {
        *why = SocketReason();
        return false;
    }
#ifndef _WIN32
    listen(impl_->listening, kBacklog);  // a listening socket takes its new queue length
#endif
    impl_->host = host;
    impl_->port = bound;
    impl_->started = true;
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl] { impl->server.listen_after_bind(); });
    return true;
}

std::string StationServer::Url() const {
    const std::string& host = impl_->host;
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + shown + ":" + std::to_string(impl_->port) + "/";
}

void StationServer::Publish(const std::string& stateJson, const std::string& eventJson) {
    const std::string message = "data: " + eventJson + "\n\n";
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->state = stateJson;
    if (eventJson.empty()) return;
    for (const auto& viewer : impl_->viewers) {
        if (viewer->dropped) continue;
        if (viewer->queue.size() >= kQueueMessages || viewer->bytes + message.size() > kQueueBytes) {
            viewer->dropped = true;
            viewer->queue.clear();
            continue;
        }
        viewer->queue.push_back(message);
        viewer->bytes += message.size();
    }
    impl_->changed.notify_all();
}

void StationServer::Stop() {
    if (!impl_->started) return;
    {
        // Each stream writes what it still holds (the summary) and ends;
        // one that cannot write is given up after its write time.
        std::unique_lock<std::mutex> hold(impl_->lock);
        impl_->stopping = true;
        impl_->changed.notify_all();
        impl_->changed.wait_for(hold, std::chrono::seconds(kWriteSeconds + 1),
                                [this] { return impl_->viewers.empty(); });
    }
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->started = false;
}
