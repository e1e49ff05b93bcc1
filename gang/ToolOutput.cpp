// The reading of tessan's output: one line at a time, the line still being
// written (a progress line, a row of dots) looked at as it grows.
#include "ToolOutput.h"

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

bool ToolOutput::Feed(const char* bytes, size_t size) {
    const BoardState before = state_;
    for (size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (c == '\n' || c == '\r') {
            Line(pending_);
            pending_.clear();
        } else if (pending_.size() < 4096) {
            pending_ += c;
        }
    }
    Partial();
    return before.phase != state_.phase || before.percent != state_.percent || before.dots != state_.dots ||
           before.message != state_.message;
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
    if (line == "Target updated successfully.") {
        state_.phase = Phase::kUpdated;
        state_.message = line;
        return;
    }
    if (line == "Loader start failed." || line == "Failed: Target is not responding." ||
        StartsWith(line, "Error. Error code ") || StartsWith(line, "Error: ")) {
        state_.phase = Phase::kFailed;
        state_.message = line;
        return;
    }
    const int percent = ProgressPercent(line);
    if (percent >= 0) {
        state_.phase = Phase::kTransferring;
        state_.percent = percent;
    } else if (IsPortLine(line, "opened.")) {
        // The re-open is the second "opened.", after a row of dots, if any.
        state_.phase = ++opens_ == 1 ? Phase::kTrigger : Phase::kGreeting;
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
        state_.percent = percent;
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
                               : "waiting for the port (" + std::to_string(state.dots) + " tries)";
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
