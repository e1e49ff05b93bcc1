// Reading a tessan child's standard output (its log form) into the state of
// its board. Pure: fed the bytes as they arrive, in pieces of any size.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

enum class Phase {
    kStarting,      // nothing but the banner yet
    kTrigger,       // the port opened, the trigger sent, its answer echoed
    kWaiting,       // the port closed; waiting for it to come back
    kGreeting,      // re-opened; reading the loader's greeting
    kTransferring,  // sending records
    kUpdated,       // "Target updated successfully."
    kFailed,        // the tool's own failure message
};

struct BoardState {
    Phase phase = Phase::kStarting;
    Phase before = Phase::kStarting;  // the phase the closing message ended
    int percent = 0;       // while transferring; never goes down
    int dots = 0;          // re-open attempts while waiting for the port
    std::string message;   // the tool's closing message, in its own words
    // The loader's greeting as tessan shows it (its bytes up to the first
    // NUL), once tessan has echoed it whole; empty when none was read.
    std::optional<std::string> greeting;
};

// A message counts wherever it stands as a line of its own, and the last
// one read is the board's state: the target's answers that tessan echoes
// are arbitrary text and may look like one, but tessan's own closing
// message is always its last.
class ToolOutput {
public:
    // `port`: the port's name as tessan prints it ("" takes any name).
    explicit ToolOutput(const std::string& port = "") : port_(port) {}
    // Takes the next bytes of the output; returns true when the state changed.
    // With `phases`, each state the board enters a new phase in on the way
    // is appended to it, so no phase is missed however many bytes come at once.
    bool Feed(const char* bytes, size_t size, std::vector<BoardState>* phases = nullptr);
    const BoardState& state() const { return state_; }

private:
    void Line(const std::string& line);
    void Partial();
    void Echo(char c);
    bool IsPortLine(const std::string& line, const char* what) const;
    std::string port_;
    BoardState state_;
    std::string pending_;  // the line not ended yet
    int opens_ = 0;
    bool reasonDue_ = false;  // a network port's failure: its reason line follows
    // The greeting's echo after the re-open: "%02X " for each byte, then
    // "%u: ", taken from the hex pairs (the text that follows may hold any byte).
    enum class EchoState { kOff, kReading, kDone };
    EchoState echo_ = EchoState::kOff;
    std::string echoToken_, echoBytes_;
};

// What the table shows for a board in `state`: "trigger", "waiting for the
// port", "greeting", "transferring 42%", "updated", or the failure message.
std::string PhaseText(const BoardState& state);

// The phase's word in the --json stream and the state: "trigger", "waiting
// for the port", "greeting", "transferring"; "" in the other phases.
const char* PhaseWord(Phase phase);
