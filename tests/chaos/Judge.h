// Judging one session: what the tool and the target did against what the
// oracle expects.
#pragma once

#include <string>
#include <vector>

#include "../e2e/Harness.h"
#include "Oracle.h"

// One finding: a short name ("output", "status", ...) and what differs.
struct Finding {
    std::string what;
    std::string detail;
};

// Everything that differs from the expectation; empty when the session
// went exactly as expected. `simErr` is the sim's standard error.
std::vector<Finding> Judge(const Expectation& e, const RunResult& r, const std::string& simErr);

// The findings' short names, joined with ", ".
std::string FindingNames(const std::vector<Finding>& findings);

// The first difference between the expected output (with its row of dots)
// and `actual`; empty when they match.
std::string CompareOutput(const Expectation& e, const std::string& actual);

// The dots the tool printed after the expected start of its output (-1
// when the output starts otherwise).
int DotsIn(const Expectation& e, const std::string& actual);

// The bytes of the sim log's "rx N HEX" line for connection `n`.
std::string ReceivedOn(const std::string& simLog, int n);

// The sim log's result: "ok" or "fail REASON" (empty when it has none).
std::string SimResult(const std::string& simLog);

// Moments in the sim's log, in microseconds from its start (-1 when
// missing): when it saw the tool close its first connection (or dropped
// it), published the second, and saw that opened.
struct ReopenTimes {
    long long closed = -1;
    long long published = -1;
    long long opened = -1;
    bool Known() const { return closed >= 0 && published >= 0 && opened >= 0; }
};
ReopenTimes ReopenTimesOf(const std::string& simLog);
