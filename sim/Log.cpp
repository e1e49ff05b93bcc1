// Log.cpp - what the sim writes down: the event log (at the end, and line by
// line as the events happen with --events) and the bytes received.
#include "Target.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

void appendHex(std::string& out, const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    size_t at = out.size();
    out.resize(at + 2 * n);
    for (size_t i = 0; i < n; ++i) {
        out[at + 2 * i] = digits[p[i] >> 4];
        out[at + 2 * i + 1] = digits[p[i] & 15];
    }
}

bool writeFile(const std::string& path, const void* data, size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    // An empty buffer may have no storage at all, and fwrite must not be
    // handed a null pointer.
    bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

bool Target::writeRxFile() {
    const Rx& rx = rx_[2];
    return writeFile(s_.rxPath, rx.data.data(), rx.size);
}

bool Target::writeLog() {
    const std::string out = formatEvents(0, events_.size());
    return writeFile(s_.logPath, out.data(), out.size());
}

// Writes the events not streamed yet to --events, whole lines at once, so a
// reader acts on each as it happens. A failed write ends the stream.
void Target::streamEvents() {
    const std::string text = formatEvents(streamed_, events_.size());
    streamed_ = events_.size();
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(eventsFd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            ::close(eventsFd_);
            eventsFd_ = -1;
            eventsFailed_ = true;
            return;
        }
    }
}

// The log lines of events [first, end).
std::string Target::formatEvents(size_t first, size_t end) const {
    std::string out;
    char head[128];
    for (size_t i = first; i < end; ++i) {
        const Event& e = events_[i];
        const unsigned long long a = e.a;
        const unsigned long long b = e.b;
        const long long c = e.c;
        int n = std::snprintf(head, sizeof head, "%lld ", static_cast<long long>(e.us));
        out.append(head, size_t(n));
        switch (e.kind) {
        case EventKind::Publish:
            std::snprintf(head, sizeof head, "publish %llu ", a);
            out += head;
            out += e.text;
            break;
        case EventKind::Open:
            std::snprintf(head, sizeof head, "open %llu", a);
            out += head;
            break;
        case EventKind::Close:
            std::snprintf(head, sizeof head, "close %llu", a);
            out += head;
            break;
        case EventKind::Trigger:
            out += "trigger";
            break;
        case EventKind::Reply:
            std::snprintf(head, sizeof head, "reply %lld", c);
            out += head;
            break;
        case EventKind::Greeting:
            std::snprintf(head, sizeof head, "greeting %lld", c);
            out += head;
            break;
        case EventKind::Record:
            if (c < 0)
                std::snprintf(head, sizeof head, "record %llu len %llu status none", a, b);
            else
                std::snprintf(head, sizeof head, "record %llu len %llu status %lld", a, b, c);
            out += head;
            break;
        case EventKind::Mismatch:
            std::snprintf(head, sizeof head, "mismatch record %llu offset %llu", a, b);
            out += head;
            break;
        case EventKind::Unexpected:
            std::snprintf(head, sizeof head, "unexpected %llu ", a);
            out += head;
            appendHex(out, rx_[e.a].data.data() + e.b, size_t(e.c));
            break;
        case EventKind::Vanish:
            std::snprintf(head, sizeof head, "vanish %llu", a);
            out += head;
            break;
        case EventKind::Rx:
            std::snprintf(head, sizeof head, "rx %llu", a);
            out += head;
            if (rx_[e.a].size > 0) {
                out += ' ';
                appendHex(out, rx_[e.a].data.data(), rx_[e.a].size);
            }
            break;
        case EventKind::Timeout:
            out += "timeout";
            break;
        case EventKind::Signal:
            out += "signal";
            break;
        case EventKind::FirstRecordStart:
            std::snprintf(head, sizeof head, "first-record-start %lld", static_cast<long long>(e.us));
            out += head;
            break;
        case EventKind::LastStatus:
            std::snprintf(head, sizeof head, "last-status %lld", static_cast<long long>(e.us));
            out += head;
            break;
        case EventKind::Result:
            out += "result ";
            out += e.text;
            break;
        case EventKind::Line:
            std::snprintf(head, sizeof head, "line %llu ", a);
            out += head;
            out += e.text;
            break;
        case EventKind::Quiet:
            std::snprintf(head, sizeof head, "quiet %llu", a);
            out += head;
            break;
        }
        out += '\n';
    }
    return out;
}
