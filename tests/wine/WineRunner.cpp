// The Wine runner: how tessan.exe is started, where the sim publishes its
// pty so that Wine sees it as a COM port, and the session checks.
#include "WineRunner.h"

#include <fstream>

#include <sys/stat.h>

namespace {

std::string SessionDir() { return TESSAN_WINE_DIR; }

int ComNumber(int slot) { return kFirstCom + slot; }

// Wine looks up dosdevices/comN afresh at each CreateFileA of "\\.\COMN".
std::string PublishPath(const std::string&, int slot) {
    return WinePrefix() + "/dosdevices/com" + std::to_string(ComNumber(slot));
}
std::string PortValue(const std::string&, int slot) { return std::to_string(ComNumber(slot)); }
std::string PortName(const std::string&, int slot) { return "COM" + std::to_string(ComNumber(slot)); }

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string WinePrefix() { return SessionDir() + "/prefix"; }
std::string WindowsToolPath() { return TESSAN_WIN_EXE; }

const Runner& WineRunner() {
    static const Runner runner = [] {
        Runner r = {
            "wine",
            {TESSAN_WINE, WindowsToolPath()},
            // Wine's own pause, which returns at once on a standard input at
            // its end and adds no line end.
            "Press any key to continue... ",
            PublishPath,
            PortValue,
            PortName,
            // No display: nothing may try to open a window. WINEDEBUG=-all
            // keeps Wine's own diagnostics off the tool's standard error.
            {"WINEPREFIX=" + WinePrefix(), "WINEDEBUG=-all", "WINEARCH=win64", "DISPLAY", "WAYLAND_DISPLAY"},
            true,
        };
        // Seen once in some 500 runs: wine ended with status 1 at once,
        // silent, before starting tessan.exe.
        r.launcherMayFail = true;
        r.windowsBuild = true;
        return r;
    }();
    return runner;
}

std::string MissingWindowsBuild() {
    struct stat s;
    if (stat(WindowsToolPath().c_str(), &s) == 0 && S_ISREG(s.st_mode)) return "";
    return "no Windows build at " + WindowsToolPath() + " (scripts/test builds it in build/win)";
}

std::string WineSessionProblem() {
    // The fixture wine_session_start writes the pid of the wineserver it
    // started. Without it, the first wine run would start a server of its
    // own that detaches, takes the first pty it opens as its terminal and
    // floods the tool's standard error when that pty closes.
    const std::string pidFile = SessionDir() + "/wineserver.pid";
    const std::string pid = FirstLine(pidFile);
    const std::string hint = "; run the wine tests through ctest (ctest -L wine), whose fixture starts it";
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
        return "no wineserver pid in " + pidFile + hint;
    }
    // /proc/PID/stat: "PID (COMM) STATE ..."; a zombie has ended.
    const std::string stat = FirstLine("/proc/" + pid + "/stat");
    size_t close = stat.rfind(')');
    if (stat.find("(wineserver") == std::string::npos || close == std::string::npos || close + 2 >= stat.size() ||
        stat[close + 2] == 'Z') {
        return "the session's wineserver (pid " + pid + ") is not running" + hint;
    }
    return "";
}
