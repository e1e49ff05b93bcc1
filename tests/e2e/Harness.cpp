// Process handling for the end-to-end tests: starts tessan-sim and tessan,
// with their output in files (never pipes, so a program's lingering helper
// processes cannot keep a test waiting), and reads back what they did.
#include "Harness.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

typedef std::chrono::steady_clock Clock;

// The name of an environment entry: the text before any "=".
std::string EnvName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// Starts `argv` in `dir` with standard input from /dev/null and its output
// in the two files, in a process group of its own. An entry of `extraEnv`
// replaces an inherited one of the same name (getenv would find the
// inherited one first); a bare "NAME" removes NAME.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& outFile,
            const std::string& errFile, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const std::string& x : extraEnv) replaced = replaced || EnvName(x) == EnvName(*e);
        if (!replaced) env.push_back(*e);
    }
    for (const std::string& e : extraEnv) {
        if (e.find('=') != std::string::npos) env.push_back(e);
    }
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

// Waits up to `seconds` for the process; returns its exit status, or -1 if
// it was still running (then *running is set) or died of a signal.
int WaitFor(pid_t pid, double seconds, bool* running) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            *running = false;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= end) {
            *running = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int Stop(pid_t pid, double graceSeconds) {
    bool running = false;
    int status = WaitFor(pid, graceSeconds, &running);
    if (!running) return status;
    kill(-pid, SIGTERM);
    status = WaitFor(pid, 3, &running);
    if (!running) return status;
    kill(-pid, SIGKILL);
    WaitFor(pid, 5, &running);
    return -1;
}

std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c < 32 || c >= 127) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

std::string NativePath(const std::string& dir, int) { return dir + "/port"; }

}  // namespace

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string FillPlaceholders(const std::string& text, const std::string& port, const std::string& pause) {
    return Replace(Replace(text, "{PORT}", port), "{PAUSE}", pause);
}

const Runner& NativeRunner() {
    static const Runner runner = {
        "native", {ToolPath()}, "Press any key to continue . . . \n",
        NativePath, NativePath, NativePath, {}, false,
    };
    return runner;
}

RunResult RunTool(const Runner& runner, const std::string& dir, int slot, bool withSim,
                  const std::vector<std::string>& simArgs, const std::vector<std::string>& toolArgs,
                  double limitSeconds) {
    RunResult result;
    pid_t sim = -1;
    if (withSim && runner.startLine && !runner.startLine(dir, slot)) return result;
    if (withSim) {
        std::vector<std::string> argv = {SimPath(), runner.publishPath(dir, slot), "--log", dir + "/sim.log",
                                         "--rx", dir + "/rx.bin", "--timeout", "60"};
        argv.insert(argv.end(), simArgs.begin(), simArgs.end());
        sim = Spawn(argv, dir, dir + "/sim.out", dir + "/sim.err", {});
        // The sim prints its path once the pty is published.
        auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end && Slurp(dir + "/sim.out").find('\n') == std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        result.simStarted = Slurp(dir + "/sim.out").find('\n') != std::string::npos;
        if (runner.startServer) result.serverStarted = runner.startServer(dir, slot);
    }

    std::vector<std::string> argv = runner.prefix;
    for (const std::string& a : toolArgs) argv.push_back(Replace(a, "{PORT}", runner.portValue(dir, slot)));
    for (int attempt = 0;; ++attempt) {
        auto start = Clock::now();
        pid_t tool = Spawn(argv, dir, dir + "/tool.out", dir + "/tool.err", runner.environment);
        bool running = false;
        result.status = WaitFor(tool, limitSeconds, &running);
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (running) {
            result.timedOut = true;
            kill(-tool, SIGKILL);
            WaitFor(tool, 5, &running);
        }
        result.out = Slurp(dir + "/tool.out");
        result.err = Slurp(dir + "/tool.err");
        const bool launcherFailed = !result.timedOut && result.status == 1 && result.out.empty() && result.err.empty();
        if (!runner.launcherMayFail || !launcherFailed || attempt == 2) break;
        printf("note: %s ended with status 1 before the tool printed anything; started again\n",
               runner.prefix[0].c_str());
    }
    if (runner.crlfOutput) result.out = Replace(result.out, "\r\n", "\n");

    if (withSim) {
        if (runner.stopServer) runner.stopServer(dir, slot);
        // A sim that saw the tool's last close ends by itself at once; one
        // that still waits for an open is told to stop.
        result.simStatus = Stop(sim, 0.5);
        result.received = Slurp(dir + "/rx.bin");
        result.simLog = Slurp(dir + "/sim.log");
    }
    return result;
}

std::string MatchOutput(const std::string& expected, const std::string& actual) {
    // Split the expectation at each "{DOTS}" and match the pieces in turn.
    static const std::string kDots = "{DOTS}";
    size_t e = 0, a = 0;
    for (;;) {
        size_t next = expected.find(kDots, e);
        std::string piece = expected.substr(e, next == std::string::npos ? std::string::npos : next - e);
        if (actual.compare(a, piece.size(), piece) != 0 ||
            (next == std::string::npos && actual.size() != a + piece.size())) {
            size_t i = 0;
            while (i < piece.size() && a + i < actual.size() && piece[i] == actual[a + i]) ++i;
            return "output differs at byte " + std::to_string(a + i) + "\n  expected: ..." +
                   Printable(expected.substr(e + i, 120)) + "\n  actual:   ..." +
                   Printable(actual.substr(a + i, 120)) + "\n  whole output: " + Printable(actual);
        }
        a += piece.size();
        if (next == std::string::npos) return "";
        size_t dots = 0;
        while (a + dots < actual.size() && actual[a + dots] == '.') ++dots;
        if (dots == 0) return "expected a row of dots at byte " + std::to_string(a) + " of: " + Printable(actual);
        a += dots;
        e = next + kDots.size();
    }
}

int OpensSeen(const std::string& simLog) {
    int opens = 0;
    std::istringstream lines(simLog);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word == "open") ++opens;
        }
    }
    return opens;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitForText(const std::string& file, const std::string& text, double seconds, size_t occurrences) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const std::string s = Slurp(file);
        size_t seen = 0;
        for (size_t at = s.find(text); at != std::string::npos && seen < occurrences; at = s.find(text, at + 1)) ++seen;
        if (seen >= occurrences) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

pid_t StartProcess(const std::vector<std::string>& argv, const std::string& dir, const std::string& outFile,
                   const std::string& errFile) {
    return Spawn(argv, dir, outFile, errFile, {});
}

int StopProcess(pid_t pid, double graceSeconds) { return Stop(pid, graceSeconds); }

std::string ToolPath() { return TESSAN_PATH; }
std::string SimPath() { return TESSAN_SIM_PATH; }
