// The reading of tessan's output: one line at a time, the line still being
// written (a progress line, a row of dots) looked at as it grows.
#include "ToolOutput.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool StartsWith(const std::string& s, const char* head) { return s.compare(0, strlen(head), head) == 0; }

// The percent of "Transferring.. | 42% done." or "Transferring.. 100% done.";
// -1 when `line` is not a whole progress line.
int ProgressPercent(const std::string& line) {
    if (!StartsWith(line, "Transferring.. ")) return -1;
    const size_t done = line.find("% done.");
    if (done == std::string::npos) return -1;
    size_t start = done;
    while (start > 0 && line[start - 1] >= '0' && line[start - 1] <= '9') --start;
    if (start == done) return -1;
    int percent = 0;
    for (size_t i = start; i < done && percent <= 100; ++i) percent = percent * 10 + (line[i] - '0');
    return percent;
}

}  // namespace

bool ToolOutput::Feed(const char* bytes, size_t size, std::vector<BoardState>* phases) {
    const BoardState before = state_;
    Phase phase = state_.phase;
    for (size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (echo_ == EchoState::kReading) Echo(c);
        if (c == '\n' || c == '\r') {
            Line(pending_);
            pending_.clear();
        } else if (pending_.size() < 4096) {
            pending_ += c;
        }
        if (phases != nullptr && state_.phase != phase) {
            phase = state_.phase;
            phases->push_back(state_);
        }
    }
    Partial();
    if (phases != nullptr && state_.phase != phase) phases->push_back(state_);
    return before.phase != state_.phase || before.percent != state_.percent || before.dots != state_.dots ||
           before.message != state_.message || before.greeting != state_.greeting;
}

void ToolOutput::Echo(char c) {
    // The end of the "opened." line: a line feed, or a CR LF on Windows.
    if ((c == '\n' || c == '\r') && echoToken_.empty() && echoBytes_.empty()) return;
    const bool hexPair = echoToken_.size() == 2 && isxdigit(static_cast<unsigned char>(echoToken_[0])) &&
                         isxdigit(static_cast<unsigned char>(echoToken_[1]));
    if (c == ' ' && hexPair) {
        echoBytes_ += static_cast<char>(strtoul(echoToken_.c_str(), nullptr, 16));
        echoToken_.clear();
    } else if (c == ':' && !echoToken_.empty() && echoToken_.find_first_not_of("0123456789") == std::string::npos) {
        // The count tessan prints is of every byte it echoed.
        echo_ = EchoState::kDone;
        if (strtoul(echoToken_.c_str(), nullptr, 10) == echoBytes_.size()) {
            // tessan keeps the first 1023 bytes and shows them up to a NUL.
            const std::string kept = echoBytes_.substr(0, 1023);
            state_.greeting = kept.substr(0, kept.find('\0'));
        }
    } else if (c != ' ' && c != ':' && echoToken_.size() < 12) {
        echoToken_ += c;
    } else {
        echo_ = EchoState::kDone;  // not an echo after all: no greeting
    }
}

// "PORT opened." (after a row of dots, for the re-open) or "PORT closed."
// (after the echoed answer when that did not end its line).
bool ToolOutput::IsPortLine(const std::string& line, const char* what) const {
    if (port_.empty()) return EndsWith(line, (std::string(" ") + what).c_str());
    const std::string text = port_ + " " + what;
    if (strcmp(what, "closed.") == 0) return EndsWith(line, text.c_str());
    const size_t start = line.find_first_not_of('.');
    return start != std::string::npos && line.compare(start, std::string::npos, text) == 0;
}

void ToolOutput::Line(const std::string& line) {
    const bool reasonDue = reasonDue_;
    reasonDue_ = false;
    if (reasonDue && line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
        // A network port's failure names its reason on the next line.
        state_.message += " " + line.substr(2);
        return;
    }
    if (state_.phase != Phase::kUpdated && state_.phase != Phase::kFailed) state_.before = state_.phase;
    if (line == "Target updated successfully.") {
        state_.phase = Phase::kUpdated;
        state_.message = line;
        return;
    }
    if (line == "Loader start failed." || line == "Failed: Target is not responding." ||
        StartsWith(line, "Error. Error code ") || StartsWith(line, "Error: ")) {
        state_.phase = Phase::kFailed;
        state_.message = line;
        reasonDue_ = EndsWith(line, " in use or does not exist.");
        return;
    }
    const int percent = ProgressPercent(line);
    if (percent >= 0) {
        state_.phase = Phase::kTransferring;
        if (percent > state_.percent) state_.percent = percent;
    } else if (IsPortLine(line, "opened.")) {
        // The re-open is the second "opened.", after a row of dots, if any;
        // the greeting's echo follows it.
        state_.phase = ++opens_ == 1 ? Phase::kTrigger : Phase::kGreeting;
        if (opens_ == 2) echo_ = EchoState::kReading;
    } else if (IsPortLine(line, "closed.")) {
        state_.phase = Phase::kWaiting;
        state_.dots = 0;
    }
}

void ToolOutput::Partial() {
    // The log form leaves each progress line open until the next record.
    const int percent = ProgressPercent(pending_);
    if (percent >= 0) {
        state_.phase = Phase::kTransferring;
        if (percent > state_.percent) state_.percent = percent;
    } else if (state_.phase == Phase::kWaiting) {
        int dots = 0;
        while (dots < static_cast<int>(pending_.size()) && pending_[dots] == '.') ++dots;
        if (dots > state_.dots) state_.dots = dots;
    }
}

std::string PhaseText(const BoardState& state) {
    switch (state.phase) {
    case Phase::kStarting:
        return "starting";
    case Phase::kTrigger:
        return "trigger";
    case Phase::kWaiting:
        return state.dots == 0 ? "waiting for the port"
                               : "waiting for the port (" + std::to_string(state.dots) +
                                     (state.dots == 1 ? " try)" : " tries)");
    case Phase::kGreeting:
        return "greeting";
    case Phase::kTransferring:
        return "transferring " + std::to_string(state.percent) + "%";
    case Phase::kUpdated:
        return "updated";
    case Phase::kFailed:
        return state.message;
    }
    return "";
}

const char* PhaseWord(Phase phase) {
    switch (phase) {
    case Phase::kTrigger:
        return "trigger";
    case Phase::kWaiting:
        return "waiting for the port";
    case Phase::kGreeting:
        return "greeting";
    case Phase::kTransferring:
        return "transferring";
    default:
        return "";
    }
}
