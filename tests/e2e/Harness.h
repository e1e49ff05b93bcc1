// Runs the real tessan against tessan-sim on a pseudo-terminal and collects
// what happened: standard output and error, exit status, time taken, and
// what the simulated target received.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// How a build of the tool is started and how it names its port. The native
// build opens the sim's path directly; other runners (the Windows build
// under Wine) publish the sim elsewhere and print another port name.
struct Runner {
    std::string label;                 // "native", "wine"
    std::vector<std::string> prefix;   // the command before the tool's own arguments
    std::string pause;                 // the pause prompt as the tool prints it, line end included
    // Where the sim of test slot `slot` publishes its pty (dir: the test's folder).
    std::string (*publishPath)(const std::string& dir, int slot);
    // The -COM value and the name the tool prints for that port.
    std::string (*portValue)(const std::string& dir, int slot);
    std::string (*portName)(const std::string& dir, int slot);
    // Extra environment for the tool: "NAME=value" sets NAME, a bare
    // "NAME" removes it from what the tool inherits.
    std::vector<std::string> environment;
    // Turns the tool's output into the native form ("\r\n" to "\n" on Windows).
    bool crlfOutput;
    // A server between the tool and the sim (network ports): started once
    // the sim is up, before the tool; stopped once the tool has ended, before
    // the sim is. Null: none. A start that fails fails the run.
    bool (*startServer)(const std::string& dir, int slot) = nullptr;
    void (*stopServer)(const std::string& dir, int slot) = nullptr;
    // A line that the sim serves instead of a pty of its own (its
    // --connected mode), made before the sim starts and ended by stopServer.
    // Null: none. A start that fails fails the run.
    bool (*startLine)(const std::string& dir, int slot) = nullptr;
    // The command before the tool (Wine) now and then fails to start it at
    // all, ending with status 1 before the tool has printed a byte. The tool
    // itself always prints its banner first and ends with 0 or 255, so such
    // a run is the launcher's failure and is started again, twice at most.
    bool launcherMayFail = false;
    // The Windows build (cases may skip what Wine cannot do), and a raw
    // network port (cases may skip what socket:// cannot tell apart).
    bool windowsBuild = false;
    bool rawNetwork = false;
    // A port inside TLS: its open takes a handshake as well, so a target
    // that vanishes within 100 ms of its open can look, as over socket://,
    // like a server whose device is missing (such cases skip it too).
    bool tlsNetwork = false;
    // A server that opens the device as the connection comes and answers
    // the negotiation only then (sredird): a target that vanishes at once
    // may take the connection down before the open is confirmed, so such
    // cases skip it as well.
    bool openBeforeNegotiation = false;
};

const Runner& NativeRunner();

// The outcome of one run.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;        // exit status, or -1 when killed
    bool timedOut = false;  // the tool had to be killed
    double seconds = 0;     // the tool's run time
    std::string received;   // the bytes the sim received after the re-open
    std::string simLog;     // the sim's event log
    int simStatus = -1;     // the sim's exit status
    bool simStarted = false;
    bool serverStarted = false;  // the runner's server, where it has one
};

// One run: the sim with `simArgs` (none when `withSim` is false), then the
// tool with `toolArgs` in the folder `dir`, where "{PORT}" in an argument
// stands for the runner's -COM value. Standard input is /dev/null.
RunResult RunTool(const Runner& runner, const std::string& dir, int slot, bool withSim,
                  const std::vector<std::string>& simArgs, const std::vector<std::string>& toolArgs,
                  double limitSeconds = 30);

// `text` with every `from` replaced by `to`.
std::string Replace(std::string text, const std::string& from, const std::string& to);

// How often `what` stands in `text` (overlapping ones counted).
size_t Count(const std::string& text, const std::string& what);

// An expected output made concrete: "{PORT}" becomes the port's name as the
// tool prints it, "{PAUSE}" the pause prompt.
std::string FillPlaceholders(const std::string& text, const std::string& port, const std::string& pause);

// Compares `actual` with `expected`, where "{DOTS}" in expected matches a
// run of one or more full stops. Returns an empty string on a match,
// otherwise a readable description of the first difference.
std::string MatchOutput(const std::string& expected, const std::string& actual);

// How many times the sim saw the port opened, from its log.
int OpensSeen(const std::string& simLog);

// The whole contents of a file (empty when it cannot be read).
std::string Slurp(const std::string& path);

// Waits up to `seconds` for `file` to hold `text` `occurrences` times.
bool WaitForText(const std::string& file, const std::string& text, double seconds, size_t occurrences = 1);

// Starts `argv` in `dir` with standard input from /dev/null and its output
// in the two files, in a process group of its own; and waits up to
// `graceSeconds` for it to end before ending it (-1: killed, or a signal).
pid_t StartProcess(const std::vector<std::string>& argv, const std::string& dir, const std::string& outFile,
                   const std::string& errFile);
int StopProcess(pid_t pid, double graceSeconds);

// Paths of the programs under test (set by the build).
std::string ToolPath();
std::string SimPath();
