// A real terminal for the end-to-end tests: a tmux server of the test's own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include <unistd.h>

inline bool HaveTmux() { return system("command -v tmux >/dev/null 2>&1") == 0; }

// A tmux server of the test's own (a private socket) with one pane that
// runs `command` (a shell by default) in `dir`: a real terminal that the
// test types into and reads.
class Tmux {
public:
    explicit Tmux(const std::string& dir, const std::string& command = "/bin/sh", const char* size = "-x 200 -y 50") {
        static int count = 0;
        socket_ = "tessan-test-" + std::to_string(getpid()) + "-" + std::to_string(++count);
        ok_ = Run("new-session -d -s t " + std::string(size) + " -c '" + dir + "' '" + command + "'") == 0;
    }
    ~Tmux() { Run("kill-server"); }
    bool ok() const { return ok_; }

    int Run(const std::string& args) const {
        std::string command = "tmux -L " + socket_ + " -f /dev/null " + args + " </dev/null >/dev/null 2>&1";
        return system(command.c_str());
    }
    // Types `line` and Enter into the pane.
    bool Type(const std::string& line) const {
        return Run("send-keys -t t -l -- '" + line + "'") == 0 && Run("send-keys -t t Enter") == 0;
    }
    // The pane's terminal device.
    std::string PaneTty() const {
        std::string tty = Output("display -p -t t '#{pane_tty}'");
        while (!tty.empty() && (tty.back() == '\n' || tty.back() == '\r')) tty.pop_back();
        return tty;
    }
    // What the pane shows, its scroll-back included, as lines without their
    // trailing blanks; the empty lines below the last text are left out.
    std::string Screen() const {
        std::istringstream lines(Output("capture-pane -p -J -S - -t t"));
        std::string line, screen, blankLines;
        while (std::getline(lines, line)) {
            line.erase(line.find_last_not_of(' ') + 1);
            if (line.empty()) {
                blankLines += "\n";
            } else {
                screen += blankLines + line + "\n";
                blankLines.clear();
            }
        }
        return screen;
    }

private:
    std::string Output(const std::string& args) const {
        std::string command = "tmux -L " + socket_ + " " + args + " 2>/dev/null </dev/null";
        FILE* p = popen(command.c_str(), "r");
        if (p == nullptr) return "";
        std::string out;
        char chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) out.append(chunk, n);
        pclose(p);
        return out;
    }

    std::string socket_;
    bool ok_ = false;
};
