// The oracle: from a session's choices alone, what the tool must print,
// how it must end, how long it may take, and every byte the target must
// have received.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Session.h"

struct Expectation {
    // Standard output: `before`, a row of dotsMin to dotsMax full stops (the
    // re-open attempts while the port is gone), then `after`.
    std::string before;
    int dotsMin = 0;
    int dotsMax = 0;
    int portGapMs = 0;       // the port is back this long after the tool's first close
    std::string after;
    int status = 255;        // exit status as the shell sees it
    std::string conn1;       // bytes the target received before its reset
    std::string conn2;       // and after it
    int opens = 2;           // times the target saw its port opened
    std::string simResult;   // the sim's "result" line: "ok" or "fail REASON"
    double waitSeconds = 0;  // the waits the choices imply, with dotsMin dots
    size_t records = 0;      // records the tool sends
    double minSeconds = 0;   // the tool's run time
    double maxSeconds = 0;
    std::string outcome;     // what kind of ending, for the figures
    std::string problem;     // non-empty: the session has no single right outcome (a drawing fault)
};

// The tool's timing: its waits in milliseconds.
const int kTriggerWaitMs = 100;   // after the trigger, before the reply is read
const int kSilenceMs = 1000;      // a one-byte read gives up after this
const int kCloseWaitMs = 500;     // after the close, before the first re-open
const int kRetryMs = 200;         // between re-open attempts

// The re-open loop sleeps relative to its last wake-up, so on a loaded
// machine attempt i may come as much as kLateBaseMs + i * kWakeMs after
// its plan; and the sim's port may come back kPortLateMs after its gap
// (its own wake-ups, a new pseudo-terminal).
const int kLateBaseMs = 60;
const int kWakeMs = 20;
const int kPortLateMs = 70;

// The tool's run time may fall short of its waits only by the clocks'
// rounding, and exceed them by starting up, the sim's reactions and the
// machine's load, besides the time each record takes.
const int kEarlyMs = 50;
const int kLateMs = 800;

// The prefix of a message the tool hears: bytes up to the first pause that
// outlasts its one-byte read. `count` bytes are sent, the first after
// `leadMs`. *lastMs: when the last byte heard came, from the start;
// *cut: a pause ended the reading before all `count` bytes.
std::string Heard(const Message& m, size_t count, int leadMs, int* lastMs, bool* cut);

// How many dots the re-open loop prints when the port is back `gapMs`
// after the tool's close: *lo when the attempts come as late as they may,
// *hi when they come on time and the port kPortLateMs late.
void DotRange(int gapMs, int* lo, int* hi);

// The whole expectation. `port` is the name the tool prints, `file` the
// image file's name on its command line; `perRecordMs` is what the bound
// allows each record sent besides its waits.
Expectation Expect(const Session& s, const std::string& port, const std::string& file, double perRecordMs);
