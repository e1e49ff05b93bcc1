// Target.cpp - the device's behaviour on its two connections (Log.cpp writes
// down what happened).
#include "Target.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "Clock.h"

using simclock::kForever;
using simclock::nowNs;

namespace {

const char kTrigger[] = "BOOT\r\n";
const size_t kTriggerLen = 6;
const size_t kReadChunk = 65536;
const size_t kImageRoom = 131072;  // the tool's largest image
const int64_t kOpenPollNs = 5000000;  // how often to look for the tool's open
const int64_t kLingerPollNs = 5000000;     // while the tool reads the last bytes
const int64_t kLingerMaxNs = 2000000000;   // before a vanish, at most
const int64_t kBlindLingerNs = 200000000;  // ...when the slave cannot be looked at

// Wire time of `count` bytes on a 115200-baud 8N1 line (10 bits a byte).
int64_t byteNs(uint64_t count) {
    return int64_t(count * 1000000000ull / 11520);
}

}  // namespace

Target::Target(const Settings& s, int64_t startNs)
    : s_(s), startNs_(startNs),
      deadlineNs_(startNs + int64_t(s.timeoutSec * 1e9)) {
    events_.reserve(4096);
}

Target::~Target() {
    if (retired_.joinable()) retired_.join();
}

int Target::run() {
    if (!s_.eventsPath.empty()) {
        eventsFd_ = ::open(s_.eventsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (eventsFd_ < 0) {
            std::printf("tessan-sim: cannot write %s: %s\n", s_.eventsPath.c_str(), std::strerror(errno));
            std::fflush(stdout);
            fail("setup");
            return finish();
        }
    }
    if (openConnection(1) && triggerPhase() && openConnection(2)) {
        simclock::setPrompt(false);
        loaderPhase();
    }
    return finish();
}

// ---- connections -----------------------------------------------------------

bool Target::openConnection(int number) {
    std::string err;
    // A connected line is opened once; connection 2 goes on on the same device.
    const bool ready = s_.connected ? number > 1 || pty_.attach(s_.path, err)
                                    : pty_.create(err) && pty_.publish(s_.path, err);
    if (!ready) {
        std::printf("tessan-sim: %s\n", err.c_str());
        std::fflush(stdout);
        pty_.close();
        fail("setup");
        return false;
    }
    conn_ = number;
    hangupNs_ = -1;
    rxBaseNs_ = 0;
    rxCount_ = 0;
    txBaseNs_ = 0;
    txCount_ = 0;
    lastActivityNs_ = note(s_.connected ? EventKind::Line : EventKind::Publish, uint64_t(number), 0, 0,
                           pty_.slaveName());
    if (!printedPath_) {
        std::printf("%s\n", s_.path.c_str());
        std::fflush(stdout);
        printedPath_ = true;
    }
    if (s_.connected) return true;  // no open to wait for: the line is always there

    while (!pty_.openSeen()) {
        const int64_t until = std::min(deadlineNs_, nowNs() + kOpenPollNs);
        short revents = 0;
        int r = simclock::waitFor(-1, 0, until, &revents);
        if (r < 0) return !stopped(Wake::Stop);
        if (r == 0 && nowNs() >= deadlineNs_) return !stopped(Wake::Timeout);
    }
    note(EventKind::Open, uint64_t(number));
    return true;
}

// Returns the time of the close: when the tool's close was first seen, or
// now when the sim drops the port itself.
int64_t Target::closeConnection(EventKind how) {
    // The path first: once the master is closed, the pty's number is free for
    // the next pty anyone creates, and a path still pointing at it would lead
    // the tool's re-open into someone else's port.
    pty_.unpublish();
    pty_.close();
    const int64_t t = noteAt(hangupNs_ >= 0 ? hangupNs_ : nowNs(), how, uint64_t(conn_));
    note(EventKind::Rx, uint64_t(conn_));
    return t;
}

// Connection 1 after the tool's close: the path is withdrawn and the close
// noted at once, while a thread of its own reads out what the tool wrote last
// and closes the old pty. Both can wait for a kernel work item that a loaded
// machine runs hundreds of milliseconds late, and a device's reset does not
// wait for its host. Returns the time of the close.
int64_t Target::retireConnection() {
    pty_.unpublish();
    const int fd = pty_.release();
    if (fd >= 0) {
        retired_ = std::thread([fd, out = &retiredRx_] {
            unsigned char buf[4096];
            // The slave is closed and locked against opens, so the read ends
            // in EOF or EIO once the last bytes are through; EAGAIN only
            // while they are on their way.
            for (int waits = 0; waits < 200;) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0) {
                    out->insert(out->end(), buf, buf + n);
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd p = {fd, POLLIN, 0};
                    (void)poll(&p, 1, 10);
                    ++waits;
                } else if (!(n < 0 && errno == EINTR)) {
                    break;
                }
            }
            ::close(fd);
        });
    }
    handOffAtHangup_ = false;
    const int64_t t = noteAt(hangupNs_ >= 0 ? hangupNs_ : nowNs(), EventKind::Close, uint64_t(conn_));
    note(EventKind::Rx, uint64_t(conn_));
    return t;
}

// Waits for the thread that closed connection 1; whatever it read after the
// hang-up reached the sim too late for the trigger phase and is unexpected.
void Target::collectRetired() {
    if (!retired_.joinable()) return;
    retired_.join();
    if (retiredRx_.empty()) return;
    Rx& rx = rx_[1];
    const size_t from = rx.size;
    if (rx.data.size() < from + retiredRx_.size()) rx.data.resize(from + retiredRx_.size());
    std::memcpy(rx.data.data() + from, retiredRx_.data(), retiredRx_.size());
    rx.size += retiredRx_.size();
    retiredRx_.clear();
    markUnexpected(1, from, rx.size);
}

// Drops the port in the middle of the reply or greeting. The bytes sent so far
// would be on the tool's side of a real line already, but a pty discards
// unread input when its master closes: so the path goes at once, and the
// master once the tool has read them (or closed the port, or 2 s passed).
void Target::vanishAfterRead() {
    pty_.unpublish();
    const int64_t until = std::min(nowNs() + kLingerMaxNs, deadlineNs_);
    // A first period gives the tool its chance to read before the first look.
    Wake w = idleUntil(std::min(until, nowNs() + kLingerPollNs));
    int unread = pty_.unreadBySlave();
    // The tool holds its port exclusively, which only a privileged sim may
    // open all the same to look: without the look, the tool gets a fixed
    // while to read the last bytes.
    if (w == Wake::Elapsed && unread < 0) w = idleUntil(std::min(until, nowNs() + kBlindLingerNs));
    while (w == Wake::Elapsed && unread > 0 && nowNs() < until) {
        w = idleUntil(std::min(until, nowNs() + kLingerPollNs));
        unread = pty_.unreadBySlave();
    }
    closeConnection(EventKind::Vanish);
}

// Connection 1: wait for the trigger, reply and withdraw the old port, then wait
// for the tool's close and reset (on a connected line: wait until the greeting
// is due).
bool Target::triggerPhase() {
    Rx& rx = rx_[1];
    const unsigned char* trig = reinterpret_cast<const unsigned char*>(kTrigger);
    size_t found = 0;
    for (;;) {
        Wake w = pull(kForever);
        if (stopped(w)) return false;
        const unsigned char* begin = rx.data.data();
        const unsigned char* hit = std::search(begin, begin + rx.size, trig, trig + kTriggerLen);
        if (hit != begin + rx.size) {
            found = size_t(hit - begin);
            break;
        }
        if (w == Wake::Hangup) {
            closeConnection(EventKind::Close);
            fail("no-trigger");
            return false;
        }
    }
    triggerSeen_ = true;
    triggerNs_ = note(EventKind::Trigger);
    markUnexpected(0, found);
    markUnexpected(found + kTriggerLen, rx.size);
    if (s_.lineRate) simclock::sleepUntil(rxLastWireNs_);

    // The device resets once it has answered, however late the sim sees the
    // tool's close: from now on the old pty refuses every new open (the
    // tool's own descriptor goes on working), so a re-open finds the new pty
    // or nothing, and retries, but never this one again. Not where the sim
    // itself will look at the slave (a reply that vanishes), which a refused
    // open would break.
    if (!s_.connected && !s_.vanishInReply) pty_.refuseOpens();

    size_t count = s_.sendReply ? s_.reply.size() : 0;
    if (s_.vanishInReply) count /= 2;
    size_t sent = 0;
    Wake w = send(s_.reply, count, s_.replyGapsMs, &sent);
    if (sent > 0 || s_.sendReply) note(EventKind::Reply, 0, 0, int64_t(sent));
    if (stopped(w)) return false;

    if (w != Wake::Hangup && s_.vanishInReply) {
        vanishAfterRead();
        if (s_.reappearMs < 0) {
            fail("vanished");
            return false;
        }
        return !stopped(pause(nowNs() + s_.reappearMs * 1000000));
    }
    if (s_.connected) {
        // No close to wait for: the loader greets on its own clock, and the
        // line's first connection ends when the greeting is due.
        if (w != Wake::Hangup) w = idleUntil(triggerNs_ + s_.greetAfterMs * 1000000);
        if (stopped(w)) return false;
        if (w == Wake::Hangup) {
            closeConnection(EventKind::Close);
            fail("closed-before-greeting");
            return false;
        }
        note(EventKind::Rx, 1);
        return true;
    }
    // And its path goes; after the reply, which a slow unlink must not delay.
    // From here until the tool has opened the new port the sim is the
    // device's own clock (see setPrompt).
    simclock::setPrompt(true);
    pty_.unpublish();
    if (w != Wake::Hangup) {
        handOffAtHangup_ = true;
        w = idleUntil(kForever);  // anything arriving now is unexpected
        if (stopped(w)) return false;
    }
    const int64_t closedNs = retireConnection();
    return !stopped(pause(closedNs + s_.resetGapMs * 1000000));
}

// Connection 2: greet, then answer records until the tool closes the port (on a
// connected line: until nothing has passed for --quiet-end).
bool Target::loaderPhase() {
    Rx& rx = rx_[2];
    // Room for a whole image (the largest the tool sends, or the expected
    // bytes) up front: growing the buffer mid-transfer costs a copy and fresh
    // pages, hundreds of microseconds in the middle of the timed records.
    rx.data.resize(std::max(s_.expect.size(), kImageRoom) + kReadChunk);
    // A connected line has no re-open to settle from: --greet-after, counted
    // from the trigger, already timed the greeting.
    const int64_t settleMs = s_.connected ? 0 : s_.settleMs;
    Wake w = idleUntil(nowNs() + settleMs * 1000000);
    if (stopped(w)) return false;
    if (w == Wake::Hangup) {
        closeConnection(EventKind::Close);
        fail("closed-before-greeting");
        return false;
    }

    if (s_.sendGreeting && !s_.greeting.empty()) {
        size_t count = s_.greeting.size();
        if (s_.vanishInGreeting) count /= 2;
        size_t sent = 0;
        w = send(s_.greeting, count, s_.greetingGapsMs, &sent);
        note(EventKind::Greeting, 0, 0, int64_t(sent));
        if (stopped(w)) return false;
        if (w == Wake::Hangup) {
            closeConnection(EventKind::Close);
            fail("closed-during-greeting");
            return false;
        }
        if (s_.vanishInGreeting) {
            vanishAfterRead();
            fail("vanished");
            return false;
        }
        greetingSent_ = true;
    } else {
        fail("no-greeting");
        silenced_ = true;  // nothing is expected from the tool any more
    }

    recordsStart_ = rx.size;
    earlyMarkedTo_ = rx.size;
    serving_ = greetingSent_;
    size_t pos = rx.size;  // start of the next record
    uint64_t k = 1;        // its number
    EventKind end = EventKind::Close;
    for (;;) {
        bool closed = false;
        while (!silenced_ && rx.size > pos) {
            size_t avail = rx.size - pos;
            size_t len = 16 * size_t(rx.data[pos]) + 5;
            if (k == s_.vanishRecord && avail >= len / 2) {
                if (!s_.connected) {
                    closeConnection(EventKind::Vanish);
                    fail("vanished");
                    return false;
                }
                // A connected line stays: whoever asked for this unplugs it on
                // this event. The target answers nothing more; the rest of
                // the record may still come.
                note(EventKind::Vanish, 2);
                fail("vanished");
                silenced_ = true;
                expectedTo_ = pos + len;
                break;
            }
            if (avail < len) break;
            w = answerRecord(k, pos, len);
            if (stopped(w)) return false;
            if (w == Wake::Hangup) {
                closed = true;
                break;
            }
            pos += len;
            ++k;
        }
        if (closed) break;

        // Towards a vanish, take no more than half of that record.
        size_t limit = SIZE_MAX;
        if (!silenced_ && k == s_.vanishRecord) {
            size_t avail = rx.size - pos;
            limit = avail == 0 ? 1 : (16 * size_t(rx.data[pos]) + 5) / 2 - avail;
        }
        size_t before = rx.size;
        // A connected line never closes: its session ends when it goes quiet.
        const int64_t until = s_.connected ? lastActivityNs_ + s_.quietEndMs * 1000000 : kForever;
        w = pull(until, limit);
        if (stopped(w)) return false;
        if (silenced_) markUnexpected(std::max(before, expectedTo_), rx.size);
        if (w == Wake::Hangup) break;
        if (w == Wake::Elapsed) {
            end = EventKind::Quiet;
            break;
        }
    }
    closeConnection(end);
    if (!silenced_ && rx.size > pos) fail("incomplete-record " + std::to_string(k));
    return true;
}

// Checks record k (bytes [pos, pos+len) of connection 2) and answers it.
// Returns Elapsed once answered, Hangup if the tool closed before the status.
Target::Wake Target::answerRecord(uint64_t k, size_t pos, size_t len) {
    Rx& rx = rx_[2];
    if (s_.haveExpect && !mismatchNoted_) {
        const std::string& e = s_.expect;
        size_t same = 0;
        while (same < len && pos + same < e.size() &&
               rx.data[pos + same] == static_cast<unsigned char>(e[pos + same]))
            ++same;
        if (same < len) {
            note(EventKind::Mismatch, k, pos + same);
            mismatchNoted_ = true;
        }
    }
    if (k == s_.silentRecord) {
        note(EventKind::Record, k, len, -1);
        silenced_ = true;
        fail("silent " + std::to_string(k));
        return Wake::Elapsed;
    }

    int status = 0;
    auto st = s_.statusFor.find(k);
    if (st != s_.statusFor.end()) status = st->second;
    int64_t extraNs = s_.programDelayUs * 1000;
    auto late = s_.lateMs.find(k);
    if (late != s_.lateMs.end()) extraNs += late->second * 1000000;

    if (s_.lineRate || extraNs > 0) {
        // Not before the record's last byte is on the wire (or arrived), plus
        // the programming time; bytes that come meanwhile stay in the buffer.
        int64_t due = rxLastWireNs_ + extraNs;
        for (;;) {
            Wake w = pull(due);
            if (w == Wake::Elapsed) break;
            if (w == Wake::Hangup) {
                note(EventKind::Record, k, len, -1);
                fail("closed-before-status " + std::to_string(k));
                return w;
            }
            if (w != Wake::Data) return w;
        }
        // The status goes out one byte time after the answer was due (not
        // after this wake-up), so the wake-up's lateness does not add up.
        if (s_.lineRate) {
            startTxRun(due);
            paceTx();
        }
    }

    unsigned char byte = static_cast<unsigned char>(status);
    Wake w = writeBytes(&byte, 1);
    if (w == Wake::Timeout || w == Wake::Stop) return w;
    lastStatusNs_ = note(EventKind::Record, k, len, status);
    if (status != 0) fail("status " + std::to_string(k) + " " + std::to_string(status));

    // The next record may only follow the status: bytes already here came early.
    size_t from = std::max(pos + len, earlyMarkedTo_);
    if (rx.size > from) {
        markUnexpected(from, rx.size);
        earlyMarkedTo_ = rx.size;
    }
    return w == Wake::Hangup ? w : Wake::Elapsed;
}

// ---- reading, waiting, sending ----------------------------------------------

// Waits for bytes (or the tool's close) until untilNs and appends, in as few
// reads as possible, what is there, at most `limit` bytes.
Target::Wake Target::pull(int64_t untilNs, size_t limit) {
    const int fd = pty_.master();
    Rx& rx = rx_[conn_];
    const int64_t until = std::min(untilNs, deadlineNs_);
    for (;;) {
        short revents = 0;
        int r = simclock::waitFor(fd, POLLIN, until, &revents);
        if (r < 0) return Wake::Stop;
        if (r == 0) return untilNs < deadlineNs_ ? Wake::Elapsed : Wake::Timeout;

        const bool hangup = (revents & (POLLHUP | POLLERR)) != 0;
        if (hangup && hangupNs_ < 0) hangupNs_ = nowNs();
        if (hangup && handOffAtHangup_) return Wake::Hangup;
        bool ended = false;
        size_t got = 0;
        int64_t arrivalNs = 0;
        while (got < limit) {
            size_t want = std::min(limit - got, kReadChunk);
            if (rx.data.size() - rx.size < want)
                rx.data.resize(std::max(rx.data.size() * 2, rx.size + want));
            ssize_t n = read(fd, rx.data.data() + rx.size, want);
            if (n > 0) {
                if (got == 0) arrivalNs = lastActivityNs_ = nowNs();
                rx.size += size_t(n);
                got += size_t(n);
                if (size_t(n) < want && !hangup) break;  // took all there was
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                ended = hangup;
                break;
            }
            ended = true;  // EOF or EIO: the slave is closed and drained
            break;
        }

        if (got > 0) {
            // On the line, a byte starts once it was written and the one
            // before it is through, and is through one byte time later.
            int64_t firstStartNs = arrivalNs;
            if (s_.lineRate) {
                if (rxCount_ == 0 || arrivalNs > rxBaseNs_ + byteNs(rxCount_)) {
                    rxBaseNs_ = arrivalNs;  // the line was idle: a new run of bytes
                    rxCount_ = 0;
                }
                firstStartNs = rxBaseNs_ + byteNs(rxCount_);
                rxCount_ += got;
                rxLastWireNs_ = rxBaseNs_ + byteNs(rxCount_);
            } else {
                rxLastWireNs_ = arrivalNs;
            }
            if (serving_ && firstRecordStartNs_ < 0 && rx.size > recordsStart_)
                firstRecordStartNs_ = firstStartNs;
            return Wake::Data;
        }
        if (ended) return Wake::Hangup;
    }
}

// Waits until untilNs; bytes arriving meanwhile are unexpected.
Target::Wake Target::idleUntil(int64_t untilNs) {
    for (;;) {
        size_t before = rx_[conn_].size;
        Wake w = pull(untilNs);
        if (w != Wake::Data) return w;
        markUnexpected(before, rx_[conn_].size);
    }
}

// Waits until untilNs with no port to watch (reset gaps).
Target::Wake Target::pause(int64_t untilNs) {
    const int64_t until = std::min(untilNs, deadlineNs_);
    short revents = 0;
    int r = simclock::waitFor(-1, 0, until, &revents);
    if (r < 0) return Wake::Stop;
    return untilNs <= deadlineNs_ ? Wake::Elapsed : Wake::Timeout;
}

// Sends the first `count` bytes of text, paced by the per-byte gaps (then
// --byte-gap) and --line-rate. Returns Elapsed when all are sent, Hangup if
// the tool closed the port first.
Target::Wake Target::send(const std::string& text, size_t count, const std::vector<int64_t>& gapsMs,
                          size_t* sent) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    *sent = 0;
    if (count == 0) return Wake::Elapsed;
    if (!s_.lineRate && s_.byteGapMs == 0 && gapsMs.empty()) {
        Wake w = writeBytes(p, count);
        if (w == Wake::Elapsed) *sent = count;
        return w;
    }
    for (size_t i = 0; i < count; ++i) {
        if (simclock::stopRequested()) return Wake::Stop;
        if (nowNs() >= deadlineNs_) return Wake::Timeout;
        const int64_t gapMs = i == 0 ? 0 : i - 1 < gapsMs.size() ? gapsMs[i - 1] : s_.byteGapMs;
        if (gapMs > 0) {
            Wake w = idleUntil(nowNs() + gapMs * 1000000);
            if (w != Wake::Elapsed) return w;
        }
        if (s_.lineRate) {
            if (i == 0 || gapMs > 0) startTxRun(nowNs());
            paceTx();
        }
        Wake w = writeBytes(p + i, 1);
        if (w != Wake::Elapsed) return w;
        *sent = i + 1;
    }
    return Wake::Elapsed;
}

// Writes all n bytes to the master; Elapsed when done.
Target::Wake Target::writeBytes(const unsigned char* p, size_t n) {
    const int fd = pty_.master();
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= size_t(w);
            if (n == 0) lastActivityNs_ = nowNs();
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            short revents = 0;
            int r = simclock::waitFor(fd, POLLOUT, deadlineNs_, &revents);
            if (r < 0) return Wake::Stop;
            if (r == 0) return Wake::Timeout;
            if ((revents & POLLHUP) && !(revents & POLLOUT)) return Wake::Hangup;
            continue;
        }
        return Wake::Hangup;
    }
    return Wake::Elapsed;
}

// Line rate: a message (reply, greeting, status) starts a run of bytes, at
// once if the line is idle, else right after the byte still on the wire.
void Target::startTxRun(int64_t atNs) {
    if (txCount_ == 0 || atNs > txBaseNs_ + byteNs(txCount_)) {
        txBaseNs_ = atNs;
        txCount_ = 0;
    }
}

// Line rate: sleeps until the next byte of the run has had its wire time. The
// deadlines are absolute, so the time a write takes does not add up.
void Target::paceTx() {
    ++txCount_;
    simclock::sleepUntil(txBaseNs_ + byteNs(txCount_));
}

// ---- result and log -----------------------------------------------------------

void Target::markUnexpected(int conn, size_t from, size_t to) {
    if (to <= from) return;
    note(EventKind::Unexpected, uint64_t(conn), from, int64_t(to - from));
    fail("unexpected-data");
}

int64_t Target::note(EventKind kind, uint64_t a, uint64_t b, int64_t c, std::string text) {
    int64_t t = nowNs();
    events_.push_back(Event{us(t), kind, a, b, c, std::move(text)});
    if (eventsFd_ >= 0) streamEvents();
    return t;
}

// An event that happened at `t`, noted now.
int64_t Target::noteAt(int64_t t, EventKind kind, uint64_t a) {
    events_.push_back(Event{us(t), kind, a, 0, 0, std::string()});
    if (eventsFd_ >= 0) streamEvents();
    return t;
}

void Target::fail(const std::string& reason) {
    if (failReason_.empty()) failReason_ = reason;
}

bool Target::stopped(Wake w) {
    if (w == Wake::Timeout) {
        note(EventKind::Timeout);
        fail("timeout");
        return true;
    }
    if (w == Wake::Stop) {
        note(EventKind::Signal);
        fail("signal");
        return true;
    }
    return false;
}

int Target::finish() {
    collectRetired();
    if (pty_.isOpen()) {
        pty_.unpublish();
        pty_.close();
        note(EventKind::Rx, uint64_t(conn_));
    }

    if (failReason_.empty()) {
        const Rx& rx = rx_[2];
        const std::string& e = s_.expect;
        if (!triggerSeen_) {
            fail("no-trigger");
        } else if (!greetingSent_) {
            fail("no-greeting");
        } else if (s_.haveExpect && (rx.size != e.size() || (rx.size > 0 && std::memcmp(rx.data.data(), e.data(), rx.size) != 0))) {
            size_t same = 0;
            while (same < rx.size && same < e.size() && rx.data[same] == static_cast<unsigned char>(e[same]))
                ++same;
            if (same == rx.size)
                fail("short " + std::to_string(rx.size) + " of " + std::to_string(e.size()));
            else
                fail("mismatch offset " + std::to_string(same));
        }
    }

    if (firstRecordStartNs_ >= 0)
        events_.push_back(Event{us(firstRecordStartNs_), EventKind::FirstRecordStart, 0, 0, 0, {}});
    if (lastStatusNs_ >= 0)
        events_.push_back(Event{us(lastStatusNs_), EventKind::LastStatus, 0, 0, 0, {}});
    const bool ok = failReason_.empty();
    note(EventKind::Result, 0, 0, 0, ok ? "ok" : "fail " + failReason_);

    bool written = true;
    if (eventsFd_ >= 0) ::close(eventsFd_);
    eventsFd_ = -1;
    if (eventsFailed_) {
        std::printf("tessan-sim: cannot write %s\n", s_.eventsPath.c_str());
        written = false;
    }
    if (!s_.rxPath.empty() && !writeRxFile()) {
        std::printf("tessan-sim: cannot write %s\n", s_.rxPath.c_str());
        written = false;
    }
    if (!s_.logPath.empty() && !writeLog()) {
        std::printf("tessan-sim: cannot write %s\n", s_.logPath.c_str());
        written = false;
    }
    std::printf("tessan-sim: result %s\n", events_.back().text.c_str());
    std::fflush(stdout);
    return ok && written ? 0 : 1;
}
