// Target.h - the device's side of the link: answers the trigger, resets into its
// loader on a new pty (or, on a connected line, goes on on the same device),
// greets and answers each record with a status byte; with the faults and
// timings that tests can ask for, and the log of what happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Pty.h"

struct Settings {
    std::string path;

    bool sendReply = true;
    std::string reply = "OK\r\n";
    bool sendGreeting = true;
    std::string greeting = "LOADER v1.0+";

    int64_t byteGapMs = 0;     // pause between the bytes of reply and greeting
    // Pauses before the 2nd, 3rd, ... byte of the reply or greeting, one
    // each; bytes beyond the list are paced by byteGapMs.
    std::vector<int64_t> replyGapsMs;
    std::vector<int64_t> greetingGapsMs;
    int64_t resetGapMs = 200;  // port gone between the tool's close and the new pty
    int64_t settleMs = 20;     // after connection 2 opens, before the greeting

    std::map<uint64_t, int> statusFor;  // record number -> status to answer
    std::map<uint64_t, int64_t> lateMs; // record number -> delay of its status
    uint64_t silentRecord = 0;          // 0: none
    uint64_t vanishRecord = 0;          // 0: none
    bool vanishInReply = false;
    bool vanishInGreeting = false;
    int64_t reappearMs = -1;            // < 0: never come back

    bool lineRate = false;
    int64_t programDelayUs = 0;

    bool haveExpect = false;
    std::string expect;

    std::string logPath;
    std::string rxPath;
    double timeoutSec = 60;

    // Connected line: `path` is an existing terminal device (the host side of
    // a virtual machine's serial port) that stays connected throughout, so the
    // tool's close and re-open cannot be seen. The greeting then goes out a
    // set time after the trigger, and the session ends once the line has been
    // quiet for a while after it.
    bool connected = false;
    int64_t greetAfterMs = 2000;  // from the trigger to the greeting
    int64_t quietEndMs = 2000;    // quiet after the greeting that ends the session

    std::string eventsPath;  // each event written here as it happens
};

class Target {
public:
    Target(const Settings& s, int64_t startNs);
    ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Plays the whole session; returns 0 for a complete and correct transfer,
    // 1 otherwise. The symlink is gone and the log written when it returns.
    int run();

private:
    // What a wait ended with.
    enum class Wake { Data, Hangup, Elapsed, Timeout, Stop };

    enum class EventKind {
        Publish, Open, Close, Trigger, Reply, Greeting, Record, Mismatch,
        Unexpected, Vanish, Rx, Timeout, Signal, FirstRecordStart, LastStatus,
        Result, Line, Quiet
    };
    struct Event {
        int64_t us;
        EventKind kind;
        uint64_t a;  // connection or record number
        uint64_t b;  // length or offset
        int64_t c;   // status (-1: none) or length
        std::string text;
    };

    // Bytes received on one connection, kept whole for the checks and the log.
    struct Rx {
        std::vector<unsigned char> data;
        size_t size = 0;
    };

    bool openConnection(int number);
    int64_t closeConnection(EventKind how);
    int64_t retireConnection();
    void collectRetired();
    void vanishAfterRead();
    bool triggerPhase();
    bool loaderPhase();
    int finish();

    Wake answerRecord(uint64_t k, size_t pos, size_t len);
    Wake pull(int64_t untilNs, size_t limit = SIZE_MAX);
    Wake idleUntil(int64_t untilNs);
    Wake pause(int64_t untilNs);
    Wake send(const std::string& text, size_t count, const std::vector<int64_t>& gapsMs,
              size_t* sent);
    Wake writeBytes(const unsigned char* p, size_t n);
    void startTxRun(int64_t atNs);
    void paceTx();
    void markUnexpected(size_t from, size_t to) { markUnexpected(conn_, from, to); }
    void markUnexpected(int conn, size_t from, size_t to);

    int64_t note(EventKind kind, uint64_t a = 0, uint64_t b = 0, int64_t c = 0,
                 std::string text = std::string());
    int64_t noteAt(int64_t t, EventKind kind, uint64_t a = 0);
    void fail(const std::string& reason);
    bool stopped(Wake w);
    int64_t us(int64_t ns) const { return (ns - startNs_) / 1000; }
    bool writeLog();
    bool writeRxFile();
    std::string formatEvents(size_t first, size_t end) const;
    void streamEvents();

    const Settings& s_;
    int64_t startNs_;
    int64_t deadlineNs_;
    Pty pty_;
    int conn_ = 0;          // current connection number (1 or 2), 0 before the first
    bool printedPath_ = false;
    Rx rx_[3];              // by connection number

    bool triggerSeen_ = false;
    bool greetingSent_ = false;
    bool serving_ = false;  // connection 2 past its greeting: bytes are records
    bool silenced_ = false; // a silent record: no more answers
    size_t recordsStart_ = 0;
    size_t earlyMarkedTo_ = 0; // bytes sent ahead of a status already logged up to here
    bool mismatchNoted_ = false;
    int64_t firstRecordStartNs_ = -1;
    int64_t lastStatusNs_ = -1;

    // Line-rate wire clocks. Received: a run of bytes began at rxBaseNs_ and
    // its k-th byte is through at rxBaseNs_ + k byte times. Sent: bytes are
    // written at txBaseNs_ + k byte times, when they would be through.
    int64_t rxBaseNs_ = 0;
    uint64_t rxCount_ = 0;
    int64_t rxLastWireNs_ = 0;  // last byte through (line rate) or arrived
    int64_t txBaseNs_ = 0;
    uint64_t txCount_ = 0;

    std::string failReason_;
    std::vector<Event> events_;

    // Connected line: the time the trigger arrived, the last byte either way,
    // and where the record that --vanish interrupted ends (bytes up to there
    // are that record's, not unexpected).
    int64_t triggerNs_ = 0;
    int64_t lastActivityNs_ = 0;
    // When poll first reported the tool's close of the current connection
    // (-1: not yet). Reading out what the tool wrote before it closed can
    // then wait for a kernel work item that a loaded machine runs hundreds of
    // milliseconds later; the close, and the reset gap after it, count from
    // this moment instead.
    int64_t hangupNs_ = -1;
    // After the trigger's answer a hang-up ends the wait at once, unread: the
    // old pty is read out and closed by retired_, off the reset's clock.
    bool handOffAtHangup_ = false;
    std::thread retired_;
    std::vector<unsigned char> retiredRx_;  // what retired_ read; the sim's once joined
    size_t expectedTo_ = 0;

    int eventsFd_ = -1;      // --events, open while the run lasts
    size_t streamed_ = 0;    // events written to it so far
    bool eventsFailed_ = false;
};
