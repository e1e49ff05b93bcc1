// tessan-gang: flashes one image into many boards at once, one tessan child
// per port. The driver: the command line, the image check, the children and
// their output, the table or the end lines, the logs and the report, the
// time limit, Ctrl-C, and the station that flashes ports as they appear.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../frontend/CommandLine.h"
#include "../frontend/ImageFile.h"
#include "../loader/Image.h"
#include "GangArgs.h"
#include "GangText.h"
#include "Platform.h"
#include "Report.h"
#include "Sha256.h"
#include "Station.h"
#include "StationServer.h"
#include "ToolOutput.h"

#ifndef TESSAN_VERSION
#define TESSAN_VERSION "unknown"
#endif

namespace {

typedef std::chrono::steady_clock Clock;

const double kRedrawSeconds = 0.1;  // the table at most this often
const double kLookSeconds = 0.2;    // the station's look at its ports
const double kGraceSeconds = 2;     // an ended child's time to go before it is forced
// The exit status of every way out but success, as tessan's: 255 to a POSIX
// shell, -1 in a Windows %ERRORLEVEL%.
const int kFailure = -1;

double Now() {
    static const Clock::time_point start = Clock::now();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Board {
    std::string value;   // as given to tessan's -COM
    std::string port;    // the name tessan prints
    int serial = 0;      // station: the board's number (log file name)
    ChildProcess child;
    ToolOutput output;
    FILE* log = nullptr;
    double start = 0;
    int64_t startMs = 0;
    bool running = false;
    bool timedOut = false;
    bool interrupted = false;
    double endAsked = -1;  // when the gang asked the child to end
    double seconds = 0;
    std::string outcome, message;
};

// Everything the run shares: settings, output state, counts.
struct Gang {
    GangArgs args;
    std::string tool;
    std::string sha;
    bool terminal = false;
    bool station = false;
    std::vector<std::unique_ptr<Board>> boards;
    std::map<std::string, size_t> rowOfPort;  // station: each port's latest board
    size_t drawnLines = 0;
    bool dirty = true;
    double lastDraw = -1;
    AppendFile report;
    bool writeFailed = false;
    std::string deferred;  // messages held until the table is done
    int updated = 0, failed = 0, started = 0;
};

void Say(Gang& gang, const std::string& text) {
    if (gang.terminal) {
        gang.deferred += text;
    } else {
        WriteOut(text);
    }
}

std::string TableDoing(const Board& board) {
    if (board.running) return PhaseText(board.output.state());
    if (board.outcome == "updated") return "updated";
    return board.message;
}

// Draws the table over the last one; while the run goes on it is cut to the
// terminal's height (a taller one could not be drawn over), the last one is
// whole.
void Draw(Gang& gang, bool last = false) {
    std::vector<TableRow> rows;
    const double now = Now();
    std::vector<const Board*> shown;
    if (gang.station) {
        for (const auto& entry : gang.rowOfPort) shown.push_back(gang.boards[entry.second].get());
    } else {
        for (const auto& board : gang.boards) shown.push_back(board.get());
    }
    for (const Board* board : shown) {
        rows.push_back({board->port, TableDoing(*board), board->running ? now - board->start : board->seconds});
    }
    const int width = TerminalWidth();
    std::vector<std::string> lines = TableLines(rows, width > 1 ? static_cast<size_t>(width - 1) : 0);
    if (gang.station) lines.push_back(StationCount(gang.updated, gang.failed));
    const int height = TerminalHeight();
    if (!last && height > 1) lines = FitLines(lines, static_cast<size_t>(height - 1), gang.station ? 1 : 0);
    DrawLines(lines, gang.drawnLines);
    gang.drawnLines = lines.size();
    gang.lastDraw = now;
    gang.dirty = false;
}

bool StartBoard(Gang& gang, Board& board) {
    board.start = Now();
    board.startMs = UnixMs();
    if (!gang.args.logs.empty()) {
        const std::string path = gang.args.logs + "/" + LogFileName(board.port, board.serial);
        board.log = fopen(path.c_str(), "wb");
        if (board.log == nullptr) {
            Say(gang, "Error: Cannot write the log file '" + path + "'.\n");
            gang.writeFailed = true;
        }
    }
    ++gang.started;
    gang.dirty = true;
    if (!StartChild(gang.tool, {gang.args.image, "-COM", board.value}, &board.child)) {
        board.outcome = "failed";
        board.message = "Error: tessan could not be started.";
        return false;
    }
    board.running = true;
    return true;
}

// Takes what the child has printed: into the log and the board's state.
void Collect(Gang& gang, Board& board) {
    std::string bytes;
    ReadChild(&board.child, &bytes);
    if (bytes.empty()) return;
    // Flushed at once, so the log can be watched while the board runs.
    if (board.log != nullptr &&
        (fwrite(bytes.data(), 1, bytes.size(), board.log) != bytes.size() || fflush(board.log) != 0)) {
        Say(gang, "Error: Cannot write the log of " + board.port + ".\n");
        fclose(board.log);
        board.log = nullptr;
        gang.writeFailed = true;
    }
    if (board.output.Feed(bytes.data(), bytes.size())) gang.dirty = true;
}

// The board has ended (its child waited for): its outcome, line and report.
void Finish(Gang& gang, Board& board, int exitCode) {
    board.running = false;
    board.seconds = Now() - board.start;
    const BoardState& state = board.output.state();
    BoardState plain = state;  // the phase without its count of tries
    plain.dots = 0;
    char limit[64];
    snprintf(limit, sizeof limit, "%g", gang.args.timeout);
    if (board.interrupted && state.phase != Phase::kUpdated && state.phase != Phase::kFailed) {
        board.outcome = "interrupted";
        board.message = "Interrupted (" + PhaseText(plain) + ").";
    } else if (board.timedOut && state.phase != Phase::kUpdated && state.phase != Phase::kFailed) {
        board.outcome = "timed out";
        board.message = "Timed out after " + std::string(limit) + " s (" + PhaseText(plain) + ").";
    } else if (state.phase == Phase::kUpdated && (exitCode == 0 || board.endAsked >= 0)) {
        // Every record was taken; an end the gang asked for in the pause
        // that follows takes nothing away.
        board.outcome = "updated";
        board.message = state.message;
    } else if (state.phase == Phase::kFailed) {
        board.outcome = "failed";
        board.message = state.message;
    } else if (!board.message.empty()) {
        board.outcome = "failed";
    } else {
        board.outcome = "failed";
        board.message = exitCode < 0 ? "tessan ended without a result (killed)."
                                     : "tessan ended without a result (exit status " + std::to_string(exitCode) + ").";
    }
    if (board.log != nullptr) {
        if (fclose(board.log) != 0) {
            Say(gang, "Error: Cannot write the log of " + board.port + ".\n");
            gang.writeFailed = true;
        }
        board.log = nullptr;
    }
    if (board.outcome == "updated") {
        ++gang.updated;
    } else {
        ++gang.failed;
    }
    if (!gang.args.report.empty()) {
        const ReportRecord record = {board.port, board.startMs, UnixMs(), board.seconds, board.outcome,
                                     board.message, gang.sha, TESSAN_VERSION};
        std::string why;
        if (!gang.report.Write(ReportLine(record), &why)) {
            Say(gang, "Error: Cannot write the report '" + gang.args.report + "': " + why + ".\n");
            gang.writeFailed = true;
        }
    }
    if (!gang.terminal) {
        std::string line = EndLine(board.port, board.message, board.seconds);
        if (gang.station) line.insert(line.size() - 1, " " + StationCount(gang.updated, gang.failed));
        WriteOut(line);
    }
    gang.dirty = true;
}

// Reads, reaps and bounds every running board once.
void Tend(Gang& gang, Station* station) {
    const double now = Now();
    for (auto& owned : gang.boards) {
        Board& board = *owned;
        if (!board.running) continue;
        Collect(gang, board);
        int exitCode = -1;
        if (board.child.eof && ChildEnded(&board.child, &exitCode)) {
            Finish(gang, board, exitCode);
            if (station != nullptr) station->FlashEnded(board.value, Now());
            continue;
        }
        if (board.endAsked < 0 && now - board.start >= gang.args.timeout) {
            board.timedOut = true;
            board.endAsked = now;
            EndChild(&board.child, false);
        } else if (board.endAsked >= 0 && now - board.endAsked >= kGraceSeconds) {
            EndChild(&board.child, true);
        }
    }
}

bool AnyRunning(const Gang& gang) {
    for (const auto& board : gang.boards) {
        if (board->running) return true;
    }
    return false;
}

// A child whose pipe has closed is about to end: look again soon.
double WaitLimit(const Gang& gang, double seconds) {
    for (const auto& board : gang.boards) {
        if (board->running && board->child.eof && seconds > 0.01) seconds = 0.01;
    }
    return seconds < 0.005 ? 0.005 : seconds;
}

// A new row for the -COM value `value`, under the name tessan will print.
Board& AddBoard(Gang& gang, const std::string& value) {
    gang.boards.emplace_back(new Board);
    Board& board = *gang.boards.back();
    board.value = value;
    char formed[kPortNameSize] = {};
    board.port = DerivePortName(value.c_str(), formed, kDevicePaths);
    board.output = ToolOutput(board.port);
    return board;
}

std::vector<ChildProcess*> RunningChildren(Gang& gang) {
    std::vector<ChildProcess*> children;
    for (auto& board : gang.boards) {
        if (board->running) children.push_back(&board->child);
    }
    return children;
}

// Ctrl-C: every child ends at once; the boards still running are interrupted.
void EndAll(Gang& gang) {
    const double asked = Now();
    for (auto& board : gang.boards) {
        if (!board->running) continue;
        board->interrupted = true;
        board->endAsked = asked;
        EndChild(&board->child, false);
    }
    while (AnyRunning(gang)) {
        Tend(gang, nullptr);
        if (!AnyRunning(gang)) break;
        WaitForEvents(RunningChildren(gang), static_cast<int>(WaitLimit(gang, 0.02) * 1000));
    }
}

// On a terminal: draws the table once it has changed and the last drawing
// is 100 ms old, or once a second for the seconds column. Returns how long
// the gang may wait before it looks again.
double DrawWhenDue(Gang& gang) {
    if (!gang.terminal) return 1;
    double since = Now() - gang.lastDraw;
    if ((gang.dirty && since >= kRedrawSeconds) || since >= 1) {
        Draw(gang);
        since = 0;
    }
    return gang.dirty ? kRedrawSeconds - since : 1 - since;
}

// Each board's tessan is started, then tended until all have ended.
void RunNamed(Gang& gang) {
    for (auto& board : gang.boards) StartBoard(gang, *board);
    for (auto& board : gang.boards) {
        if (!board->running) Finish(gang, *board, -1);
    }
    while (AnyRunning(gang)) {
        if (Interrupted()) {
            EndAll(gang);
            break;
        }
        Tend(gang, nullptr);
        const double waitSeconds = DrawWhenDue(gang);
        if (!AnyRunning(gang)) break;
        WaitForEvents(RunningChildren(gang), static_cast<int>(WaitLimit(gang, waitSeconds) * 1000));
    }
}

// Station: ports that match the pattern are flashed as they appear, until
// Ctrl-C or --count boards.
void RunStation(Gang& gang) {
    Station station(gang.args.settle);
    double lastLook = -1;
    for (;;) {
        if (Interrupted()) {
            EndAll(gang);
            break;
        }
        Tend(gang, &station);
        const bool countReached = gang.args.count > 0 && gang.started >= gang.args.count;
        if (countReached && !AnyRunning(gang)) break;
        if (Now() - lastLook >= kLookSeconds) {
            lastLook = Now();
            for (const std::string& port : station.Look(ListPorts(gang.args.wait), lastLook)) {
                if (gang.args.count > 0 && gang.started >= gang.args.count) {
                    station.FlashEnded(port, lastLook);  // left alone: the count is reached
                    continue;
                }
                Board& board = AddBoard(gang, port);
                board.serial = gang.started + 1;
                gang.rowOfPort[port] = gang.boards.size() - 1;
                if (!StartBoard(gang, board)) {
                    Finish(gang, board, -1);
                    station.FlashEnded(port, Now());
                }
            }
        }
        const double waitSeconds = std::min(kLookSeconds - (Now() - lastLook), DrawWhenDue(gang));
        WaitForEvents(RunningChildren(gang), static_cast<int>(WaitLimit(gang, waitSeconds) * 1000));
    }
}

// Two names for one port are refused before anything starts.
bool CheckPorts(Gang& gang) {
    std::map<std::string, std::string> seen;  // device -> first port name
    for (const auto& board : gang.boards) {
        const std::string key = DeviceKey(board->port);
        auto it = seen.find(key);
        if (it == seen.end()) {
            seen[key] = board->port;
            continue;
        }
        if (it->second == board->port) {
            WriteOut("Error: Port " + board->port + " is named twice.\n");
        } else {
            WriteOut("Error: Ports " + it->second + " and " + board->port + " are the same device.\n");
        }
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Gang gang;
    if (!ScanGangArgs(argc, argv, &gang.args)) {
        WriteOut(kGangUsage);
        return kFailure;
    }
    if (gang.args.help) {
        WriteOut(kGangUsage);
        return 0;
    }
    if (!PreparePlatform()) {
        WriteOut("Error: The console could not be prepared.\n");
        return kFailure;
    }
    // The image, checked once with tessan's own messages, before any port.
    const char* imageName = gang.args.image.c_str();
    FILE* file = fopen(imageName, "rb");
    if (file == nullptr) {
        printf(kFileNotFound, imageName);
        return kFailure;
    }
    static unsigned char image[kImageCapacity];
    size_t length = 0;
    const bool usable = LoadImage(file, imageName, image, &length);
    fclose(file);
    fflush(stdout);
    if (!usable) return kFailure;
    gang.sha = Sha256OfFile(imageName);

    gang.tool = ToolBeside(argv[0]);
    if (!IsProgram(gang.tool)) {
        WriteOut("Error: " + gang.tool + " not found beside tessan-gang.\n");
        return kFailure;
    }
    gang.station = !gang.args.wait.empty();
    for (const std::string& value : gang.args.ports) AddBoard(gang, value);
    if (!CheckPorts(gang)) return kFailure;
    if (!gang.args.logs.empty() && !MakeFolder(gang.args.logs)) {
        WriteOut("Error: Cannot make the log folder '" + gang.args.logs + "'.\n");
        return kFailure;
    }
    std::string why;
    if (!gang.args.report.empty() && !gang.report.Open(gang.args.report, &why)) {
        WriteOut("Error: Cannot open the report '" + gang.args.report + "': " + why + ".\n");
        return kFailure;
    }

    // The station view, bound before any board starts: a port that cannot
    // be had refuses the run.
    StationServer server;
    if (gang.args.servePort >= 0) {
        if (!server.Start(gang.args.serveHost, gang.args.servePort, &why)) {
            const std::string& host = gang.args.serveHost;
            const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
            WriteOut("Error: Cannot serve on " + shown + ":" + std::to_string(gang.args.servePort) + ": " + why + ".\n");
            return kFailure;
        }
        WriteOut("Serving the station view on " + server.Url() + "\n");
    }

    gang.terminal = OutputIsTerminal();
    if (gang.station) {
        WriteOut("Waiting for ports matching " + gang.args.wait + " (Ctrl-C ends).\n");
        RunStation(gang);
    } else {
        RunNamed(gang);
    }
    if (gang.terminal) {
        Draw(gang, true);
        WriteOut(gang.deferred);
    }
    // The ports not updated, in the order they were named (or flashed).
    std::vector<std::string> notUpdated;
    for (const auto& board : gang.boards) {
        if (board->outcome != "updated") notUpdated.push_back(board->port);
    }
    WriteOut(Summary(gang.updated, gang.updated + gang.failed, notUpdated));
    server.Stop();
    FinishedAfterInterrupt();
    const bool allGood = gang.failed == 0 && !gang.writeFailed && (gang.station || gang.updated == static_cast<int>(gang.boards.size()));
    return allGood ? 0 : kFailure;
}
