// End-to-end faults of the host that the shared case list cannot express: a
// port held by another run, an image file whose read fails, very long
// arguments, standard output closed or a pipe with no reader, and Ctrl-C in
// a real terminal (a tmux pane) during the transfer and during the pause.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../TempDir.h"
#include "CaseText.h"
#include "Harness.h"
#include "Tmux.h"

namespace {

typedef std::chrono::steady_clock Clock;

const std::string& Pause() { return NativeRunner().pause; }

// How the tool's standard output is connected.
enum class Output { kFile, kClosed, kFd };

// Starts `argv` in `dir` in a process group of its own, standard error to
// dir/<tag>.err, standard output as `output` says (kFile: dir/<tag>.out),
// standard input from `inFd` (-1: /dev/null).
pid_t Start(const std::vector<std::string>& argv, const std::string& dir, const std::string& tag,
            Output output = Output::kFile, int outFd = -1, int inFd = -1) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string outFile = dir + "/" + tag + ".out", errFile = dir + "/" + tag + ".err";
    pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    int in = inFd >= 0 ? inFd : open("/dev/null", O_RDONLY);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int out = output == Output::kFile ? open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : outFd;
    if (in < 0 || err < 0 || (output != Output::kClosed && out < 0) || chdir(dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(err, 2);
    if (output == Output::kClosed) {
        close(1);
    } else {
        dup2(out, 1);
    }
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execv(args[0], args.data());
    _exit(127);
}

// Waits up to `seconds`; kills the group of a process that is still running
// (*hung is set then). Returns the exit status, -1 for a death by signal.
int Finish(pid_t pid, double seconds, bool* hung) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    *hung = false;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (Clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    *hung = true;
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Waits until the file holds `text`, up to `seconds`.
// tessan-sim on dir/port, with its log, received bytes and exit status.
class Sim {
public:
    Sim(const std::string& dir, const std::vector<std::string>& extra) : dir_(dir) {
        std::vector<std::string> argv = {SimPath(), port(), "--log", dir + "/sim.log", "--rx", dir + "/rx.bin",
                                         "--timeout", "60"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid_ = Start(argv, dir, "sim");
        started_ = WaitForText(dir + "/sim.out", "\n", 10);
    }
    ~Sim() {
        if (pid_ > 0) End(0);
    }
    bool started() const { return started_; }
    std::string port() const { return dir_ + "/port"; }

    // Lets the sim end by itself within `seconds` (it does once the tool has
    // closed the loader's port), or stops it; returns its exit status.
    int End(double seconds) {
        bool hung = false;
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (Clock::now() >= end) {
                kill(pid_, SIGTERM);  // the sim writes its files and ends
                status = Finish(pid_, 5, &hung);
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string received() const { return Slurp(dir_ + "/rx.bin"); }
    std::string log() const { return Slurp(dir_ + "/sim.log"); }
    std::string err() const { return Slurp(dir_ + "/sim.err"); }

private:
    std::string dir_;
    pid_t pid_ = -1;
    bool started_ = false;
};


// The console of a whole successful run on `port` of an image of records
// with these block counts.
std::string SuccessOutput(const std::string& port, const std::vector<int>& counts) {
    std::string text = Head() + Handshake() + Progress(counts, counts.size()) + Done();
    return FillPlaceholders(text, port, Pause());
}

std::vector<int> LargeImage() { return std::vector<int>(10, 255); }  // 40,850 bytes

// The terminal's echo and canonical (line) mode, seen from outside.
bool TerminalMode(const std::string& tty, bool* echo, bool* canonical) {
    int fd = open(tty.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct termios t;
    bool ok = tcgetattr(fd, &t) == 0;
    close(fd);
    *echo = (t.c_lflag & ECHO) != 0;
    *canonical = (t.c_lflag & ICANON) != 0;
    return ok;
}

// Whether `word` stands alone in `stty -a` output ("echo" and not "-echo").
bool SttyShows(const std::string& stty, const std::string& word) {
    std::istringstream words(stty);
    std::string w;
    while (words >> w) {
        if (w == word) return true;
    }
    return false;
}

}  // namespace

// A second run on a port the first one holds is refused with the usual
// message; the first run goes on undisturbed and the target sees a whole,
// correct transfer. The first run holds the port in its transfer (paced at
// the line's real rate so that it lasts) and in its pause (input from a pipe
// that stays silent until the test lets it go).
TEST(PortInUse, SecondRunIsRefusedAndTheFirstIsUndisturbed) {
    for (const char* phase : {"transfer", "pause"}) {
        SCOPED_TRACE(phase);
        bool inPause = strcmp(phase, "pause") == 0;
        TempDir dir;
        std::vector<int> counts = inPause ? std::vector<int>{0, 1} : LargeImage();
        std::string image = Records(counts);
        dir.Write("fw.txt", Hex(image));
        Sim sim(dir.path(), inPause ? std::vector<std::string>{} : std::vector<std::string>{"--line-rate"});
        ASSERT_TRUE(sim.started());

        int keys[2];
        ASSERT_EQ(pipe(keys), 0);
        pid_t first = Start({ToolPath(), "fw.txt", "-COM", sim.port()}, dir.path(), "first", Output::kFile, -1,
                            inPause ? keys[0] : -1);
        close(keys[0]);
        ASSERT_TRUE(WaitForText(dir.File("first.out"), inPause ? "Press any key" : "Transferring", 15));

        pid_t second = Start({ToolPath(), "fw.txt", "-COM", sim.port()}, dir.path(), "second");
        bool hung = false;
        EXPECT_EQ(Finish(second, 5, &hung), 255);
        EXPECT_FALSE(hung);
        EXPECT_EQ(MatchOutput(Head() + "Error: " + sim.port() + " in use or does not exist.\n" + Pause(),
                              Slurp(dir.File("second.out"))),
                  "");
        EXPECT_EQ(Slurp(dir.File("second.err")), "");
        // The refused run must not have lifted the first run's exclusive
        // mode. An unprivileged open is refused while it holds (EBUSY); a
        // privileged one is let through regardless and asks instead.
        int probe = open(sim.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (probe < 0) {
            EXPECT_EQ(errno, EBUSY) << "the first run lost its exclusive hold on the port";
        } else {
#ifdef TIOCGEXCL
            int exclusive = 0;
            EXPECT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
            EXPECT_EQ(exclusive, 1) << "the first run lost its exclusive hold on the port";
#endif
            close(probe);
        }

        if (inPause) {
            EXPECT_EQ(write(keys[1], "k", 1), 1);
        }
        close(keys[1]);
        EXPECT_EQ(Finish(first, 30, &hung), 0);
        EXPECT_FALSE(hung);
        EXPECT_EQ(MatchOutput(SuccessOutput(sim.port(), counts),
                              Slurp(dir.File("first.out"))),
                  "");
        EXPECT_EQ(Slurp(dir.File("first.err")), "");
        EXPECT_EQ(sim.End(5), 0) << sim.log();
        EXPECT_TRUE(sim.received() == image) << "the target received " << sim.received().size() << " bytes";
        EXPECT_EQ(sim.err(), "");
    }
}

// A file that opens but whose read fails is reported as unreadable, never
// taken as the end of the image, and no port is touched.
TEST(ImageFile, ReadErrorIsReportedAndNoPortIsOpened) {
    TempDir dir;
    // Reading a process's own memory at offset 0 fails with EIO, even for
    // root (chmod 000 would not stop root from reading).
    RunResult r = RunTool(NativeRunner(), dir.path(), 0, true, {}, {"/proc/self/mem", "-COM", "{PORT}"}, 10);
    EXPECT_EQ(MatchOutput(Head() + "Error: File '/proc/self/mem' could not be read.\n" + Pause(), r.out), "");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(OpensSeen(r.simLog), 0) << r.simLog;
    EXPECT_EQ(r.received, "");
    EXPECT_EQ(Slurp(dir.File("sim.err")), "");
}

// Arguments far beyond anything sensible: each is refused with its message
// (or, for a long command line that ends well, the transfer succeeds).
TEST(LongArguments, AreHandledWithoutOverflow) {
    TempDir dir;
    dir.Write("fw.txt", Hex(Records({0})));
    struct Case {
        std::string what;
        std::vector<std::string> args;
        std::string message;
    };
    std::string longFile(100000, 'f');
    std::string withCom = "COM" + std::string(4997, 'c');
    std::string path = "/" + std::string(4999, 'p');
    const std::vector<Case> cases = {
        {"100,000-character file name", {longFile, "-COM", "tessan-absent"},
         "Error: File '" + longFile + "' not found.\n"},
        {"5,000-character value with COM", {"fw.txt", "-COM", withCom},
         "Error: " + withCom + " in use or does not exist.\n"},
        {"5,000-character device path", {"fw.txt", "-COM", path}, "Error: " + path + " in use or does not exist.\n"},
        {"5,000-character value without COM", {"fw.txt", "-COM", std::string(5000, 'v')},
         "Error: COMvvvvvvvvvvvvvvvv in use or does not exist.\n"},
        {"5,000 digits", {"fw.txt", "-COM", std::string(5000, '7')},
         "Error: COM2147483647 in use or does not exist.\n"},
        {"5,000 digits after a minus", {"fw.txt", "-COM", "-" + std::string(4999, '7')},
         "Error: COM-2147483648 in use or does not exist.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = RunTool(NativeRunner(), dir.path(), 0, false, {}, c.args, 10);
        EXPECT_EQ(MatchOutput(Head() + c.message + Pause(), r.out), "");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(r.timedOut);
    }

    // 40,000 arguments: 20,000 -COM pairs, the last of which names the
    // target's port, so the transfer runs.
    std::vector<std::string> many;
    for (int i = 0; i < 19999; ++i) {
        many.push_back("-COM");
        many.push_back(std::to_string(i) + "x");
    }
    many.push_back("fw.txt");
    many.push_back("-COM");
    many.push_back("{PORT}");
    RunResult r = RunTool(NativeRunner(), dir.path(), 0, true, {}, many, 20);
    EXPECT_EQ(MatchOutput(SuccessOutput(dir.File("port"), {0}), r.out), "") << "the sim's log:\n" << r.simLog;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.simStatus, 0) << r.simLog;
    EXPECT_TRUE(r.received == Records({0}));
    EXPECT_EQ(Slurp(dir.File("sim.err")), "");
}

// Nobody to read the console: standard output closed, or a pipe whose
// reader has gone. The tool must neither die of it (SIGPIPE) nor change what
// the target gets, and its exit status still tells the outcome.
TEST(LostConsole, TransferAndExitStatusAreUnchanged) {
    for (bool closedOutput : {true, false}) {
        for (bool targetError : {false, true}) {
            SCOPED_TRACE(std::string(closedOutput ? "output closed" : "pipe without reader") +
                         (targetError ? ", target error" : ", success"));
            TempDir dir;
            std::vector<int> counts = {1, 0, 2, 1};
            std::string image = Records(counts);
            dir.Write("fw.txt", Hex(image));
            Sim sim(dir.path(), targetError ? std::vector<std::string>{"--status", "3:7"} : std::vector<std::string>{});
            ASSERT_TRUE(sim.started());

            int console[2];
            ASSERT_EQ(pipe(console), 0);
            close(console[0]);  // the reader is gone before the tool starts
            pid_t tool = Start({ToolPath(), "fw.txt", "-COM", sim.port()}, dir.path(), "tool",
                               closedOutput ? Output::kClosed : Output::kFd, console[1]);
            close(console[1]);
            bool hung = false;
            EXPECT_EQ(Finish(tool, 20, &hung), targetError ? 255 : 0);
            EXPECT_FALSE(hung);
            EXPECT_EQ(Slurp(dir.File("tool.err")), "");
            EXPECT_EQ(sim.End(5), targetError ? 1 : 0) << sim.log();
            // On the error no record follows the one that failed.
            std::string want = targetError ? Records({1, 0, 2}) : image;
            EXPECT_TRUE(sim.received() == want) << "the target received " << sim.received().size() << " bytes";
            EXPECT_EQ(sim.err(), "");
        }
    }
}

// Ctrl-C in a real terminal, during the transfer and during the pause (which
// puts the terminal in no-echo, non-canonical mode): the tool ends at once,
// its hold on the port is gone at the same moment, and the terminal is back
// in the mode it had. The test keeps a descriptor of its own on the port so
// that the port outlives the tool, and then takes the same exclusive lock a
// new run takes; a lock that a dying tool kept would refuse it.
TEST(CtrlC, EndsTheRunReleasesThePortAndRestoresTheTerminal) {
    if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed (scripts/test installs it)";
    for (const char* phase : {"transfer", "pause"}) {
        SCOPED_TRACE(phase);
        bool inPause = strcmp(phase, "pause") == 0;
        TempDir dir;
        std::vector<int> counts = inPause ? std::vector<int>{0, 1} : LargeImage();
        dir.Write("fw.txt", Hex(Records(counts)));
        Sim sim(dir.path(), inPause ? std::vector<std::string>{} : std::vector<std::string>{"--line-rate"});
        ASSERT_TRUE(sim.started());
        Tmux tmux(dir.path());
        ASSERT_TRUE(tmux.ok()) << "tmux could not start a session";
        std::string tty = tmux.PaneTty();
        ASSERT_FALSE(tty.empty());

        ASSERT_TRUE(tmux.Type(ToolPath() + " fw.txt -COM " + sim.port() + " >tool.out 2>tool.err"));
        ASSERT_TRUE(WaitForText(dir.File("tool.out"), inPause ? "Press any key" : "Transferring", 15))
            << Slurp(dir.File("tool.out"));
        bool echo = true, canonical = true;
        if (inPause) {
            // The pause has switched the terminal; give it a moment to do so.
            for (int i = 0; i < 200 && TerminalMode(tty, &echo, &canonical) && (echo || canonical); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            EXPECT_FALSE(echo || canonical) << "the pause did not switch the terminal's mode";
        }
        // The running tool holds the port: a privileged open is let through
        // and finds its lock; an unprivileged one is refused (EBUSY) until
        // the tool lets go.
        int probe = open(sim.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (probe >= 0) {
            EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0) << "the running tool does not hold the port";
        } else {
            EXPECT_EQ(errno, EBUSY) << "the port could not be opened for another reason";
        }

        auto pressed = Clock::now();
        ASSERT_EQ(tmux.Run("send-keys -t t C-c"), 0);
        bool released = false;
        while (!released && Clock::now() - pressed < std::chrono::seconds(5)) {
            if (probe >= 0) {
                released = flock(probe, LOCK_EX | LOCK_NB) == 0;
            } else {
                // Unprivileged: no longer refused as busy. The sim may have
                // ended the session on the close already, and its port gone.
                probe = open(sim.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                released = probe >= 0 || errno != EBUSY;
            }
            if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        double seconds = std::chrono::duration<double>(Clock::now() - pressed).count();
        EXPECT_TRUE(released) << "the port is still held after Ctrl-C";
        EXPECT_LT(seconds, 1.0) << "the tool took that long to end";
        if (probe >= 0) flock(probe, LOCK_UN);

        // In the same terminal: the tool's exit status, then its mode.
        ASSERT_TRUE(tmux.Type("echo $? >status.txt; stty -a >stty.txt"));
        ASSERT_TRUE(WaitForText(dir.File("stty.txt"), "speed", 10));
        EXPECT_EQ(Slurp(dir.File("status.txt")), "130\n") << "not ended by SIGINT";
        std::string stty = Slurp(dir.File("stty.txt"));
        EXPECT_TRUE(SttyShows(stty, "echo")) << stty;
        EXPECT_TRUE(SttyShows(stty, "icanon")) << stty;
        EXPECT_EQ(Slurp(dir.File("tool.err")), "");

        // The sim sees the port close once the test lets go of it as well.
        close(probe);
        int simStatus = sim.End(5);
        EXPECT_EQ(sim.log().find(" signal"), std::string::npos) << "the sim had to be stopped";
        // After the pause the target had everything; mid-transfer it had not
        // (the sim fails the session only when the close cuts a record short,
        // and Ctrl-C may come between two records).
        if (inPause)
            EXPECT_EQ(simStatus, 0) << sim.log();
        else
            EXPECT_LT(sim.received().size(), Records(counts).size()) << sim.log();
        EXPECT_EQ(sim.err(), "");
    }
}

// A port that vanished in the trigger reply and never comes back keeps the
// tool in its re-open loop (by design: until the port returns or the user
// gives up); Ctrl-C ends that at once, and nothing more is printed or sent.
TEST(CtrlC, EndsTheReOpenLoopOfAPortThatNeverReturns) {
    if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed (scripts/test installs it)";
    TempDir dir;
    dir.Write("fw.txt", Hex(Records({0})));
    Sim sim(dir.path(), {"--vanish-in-reply"});
    ASSERT_TRUE(sim.started());
    Tmux tmux(dir.path());
    ASSERT_TRUE(tmux.ok()) << "tmux could not start a session";

    ASSERT_TRUE(tmux.Type(ToolPath() + " fw.txt -COM " + sim.port() + " >tool.out 2>tool.err"));
    // Three failed attempts at least.
    ASSERT_TRUE(WaitForText(dir.File("tool.out"), "closed.\n...", 10)) << Slurp(dir.File("tool.out"));

    // The next command is typed at once; the shell runs it only once the
    // tool has ended.
    auto pressed = Clock::now();
    ASSERT_EQ(tmux.Run("send-keys -t t C-c"), 0);
    ASSERT_TRUE(tmux.Type("echo $? >status.txt; stty -a >stty.txt"));
    ASSERT_TRUE(WaitForText(dir.File("stty.txt"), "speed", 10));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - pressed).count(), 1.5) << "the tool took that long to end";
    EXPECT_EQ(Slurp(dir.File("status.txt")), "130\n") << "not ended by SIGINT";
    std::string stty = Slurp(dir.File("stty.txt"));
    EXPECT_TRUE(SttyShows(stty, "echo")) << stty;
    EXPECT_TRUE(SttyShows(stty, "icanon")) << stty;

    std::string expected = Head() + "{PORT} opened.\n" + Echo("OK") + "{PORT} closed.\n{DOTS}";
    EXPECT_EQ(MatchOutput(Replace(expected, "{PORT}", sim.port()), Slurp(dir.File("tool.out"))), "");
    EXPECT_EQ(Slurp(dir.File("tool.err")), "");
    EXPECT_EQ(sim.End(5), 1) << sim.log();
    EXPECT_NE(sim.log().find("vanish 1"), std::string::npos) << sim.log();
    EXPECT_EQ(sim.received(), "");
    EXPECT_EQ(sim.err(), "");
}

// On a terminal (an 80 x 24 tmux pane) a person sees the banner, the whole
// greeting echo, one progress line redrawn in place and the outcome: after
// a success, and after a target that stops answering mid-transfer, where the
// line still shows the record that got no answer.
TEST(Terminal, ShowsOneProgressLineRedrawnInPlace) {
    if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed (scripts/test installs it)";
    // 200 records of 21 bytes at line rate: about half a second of redraws.
    const std::vector<int> counts(200, 1);
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent at record 150" : "success");
        TempDir dir;
        dir.Write("fw.txt", Hex(Records(counts)));
        std::vector<std::string> simArgs = {"--line-rate"};
        if (silent) simArgs.insert(simArgs.end(), {"--silent", "150"});
        Sim sim(dir.path(), simArgs);
        ASSERT_TRUE(sim.started());
        Tmux tmux(dir.path(), ToolPath() + " fw.txt -COM " + sim.port() + " 2>tool.err; echo $? >status.txt; exec sleep 60",
                  "-x 80 -y 24");
        ASSERT_TRUE(tmux.ok()) << "tmux could not start a session";

        std::string screen;
        for (int i = 0; i < 1500 && screen.find("Press any key") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            screen = tmux.Screen();
        }
        ASSERT_EQ(tmux.Run("send-keys -t t x"), 0);
        ASSERT_TRUE(WaitForText(dir.File("status.txt"), "\n", 10)) << tmux.Screen();
        EXPECT_EQ(Slurp(dir.File("status.txt")), silent ? "255\n" : "0\n");

        // 149 records sent: 149 * 21 * 100 / 4200 = 74%, spinner position 149 % 8.
        std::string outcome = silent ? "Transferring.. | 74% done.\nFailed: Target is not responding.\n"
                                     : "Transferring.. 100% done.\nTarget updated successfully.\n";
        std::string expected = Replace(Head() + Handshake(), "\r\n", "\n") + "\n" + outcome + "Press any key to continue . . .\n";
        EXPECT_EQ(tmux.Screen(), FillPlaceholders(expected, sim.port(), Pause()));
        EXPECT_EQ(Slurp(dir.File("tool.err")), "");
        EXPECT_EQ(sim.End(5), silent ? 1 : 0) << sim.log();
    }
}
