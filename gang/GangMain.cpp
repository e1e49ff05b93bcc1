// tessan-gang: flashes one image into many boards at once, one tessan child
// per port. The driver: the command line, the image check, the children and
// their output, the run's state and its views (the table or the end lines,
// the --json stream, the station view's events), the logs and the report,
// the time limit, Ctrl-C, and the station that flashes ports as they appear.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../common/PortNames.h"
#include "../frontend/CommandLine.h"
#include "../frontend/ImageFile.h"
#include "../loader/Image.h"
#include "GangArgs.h"
#include "GangText.h"
#include "Platform.h"
#include "Report.h"
#include "Sha256.h"
#include "State.h"
#include "Station.h"
#include "StationServer.h"
#include "ToolOutput.h"

#ifndef TESSAN_VERSION
#define TESSAN_VERSION "unknown"
#endif

namespace {

typedef std::chrono::steady_clock Clock;

const double kRedrawSeconds = 0.1;  // the table at most this often
const double kLookSeconds = 0.1;    // the children's output looked at this often
const double kPortsSeconds = 0.2;   // the station's look at its ports
const double kGraceSeconds = 2;     // an ended child's time to go before it is forced
// A look that finds more than this much of a child's output waiting comes
// sooner next time, so that no pipe fills and holds its tessan up.
const size_t kLookBytes = 16384;
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

// The driver's side of a board: its tessan, the reading of its output and
// its log. What the board shows is in the state, at the same index.
struct Runner {
    std::string value;  // as given to tessan's -COM
    ChildProcess child;
    ToolOutput output;  // reads the name tessan prints, query included
    FILE* log = nullptr;
    bool timedOut = false;
    bool interrupted = false;
    double endAsked = -1;   // when the gang asked the child to end
    std::string sentPhase;  // what its last phase event said
};

// Everything the run shares: settings, the state, output bookkeeping.
struct Gang {
    GangArgs args;
    std::string tool;
    bool terminal = false;
    GangState state;
    std::vector<std::unique_ptr<Runner>> runners;  // one per state.boards entry
    // The station view, where one is served: the state and each event.
    std::function<void(const std::string& stateJson, const std::string& eventJson)> publish;
    size_t drawnLines = 0;
    bool dirty = true;
    double lastDraw = -1;
    double lookSeconds = kLookSeconds;
    AppendFile report;
    bool writeFailed = false;
    std::string deferred;  // messages held until the table is done
};

bool Events(const Gang& gang) { return gang.args.json || gang.publish != nullptr; }

// An event of the run: a line of the --json stream, and the station view's.
void Emit(Gang& gang, const std::string& event) {
    if (gang.args.json) WriteOut(event + "\n");
    if (gang.publish) gang.publish(StateJson(gang.state, Now()), event);
}

void Say(Gang& gang, const std::string& text) {
    if (gang.args.json) {
        Emit(gang, ErrorEvent(text));
    } else if (gang.terminal) {
        gang.deferred += text;
    } else {
        WriteOut(text);
    }
}

// Draws the table over the last one; while the run goes on it is cut to the
// terminal's height (a taller one could not be drawn over), the last one is
// whole.
void Draw(Gang& gang, bool last = false) {
    const int width = TerminalWidth();
    std::vector<std::string> lines =
        TableLines(TableRows(gang.state, Now()), width > 1 ? static_cast<size_t>(width - 1) : 0);
    if (gang.state.station) lines.push_back(StationCount(gang.state.updated, gang.state.failed));
    const int height = TerminalHeight();
    if (!last && height > 1) lines = FitLines(lines, static_cast<size_t>(height - 1), gang.state.station ? 1 : 0);
    DrawLines(lines, gang.drawnLines);
    gang.drawnLines = lines.size();
    gang.lastDraw = Now();
    gang.dirty = false;
}

bool StartBoard(Gang& gang, size_t index) {
    BoardInfo& board = gang.state.boards[index];
    Runner& runner = *gang.runners[index];
    board.startAt = Now();
    board.startMs = UnixMs();
    UsbInfo usb;
    if (UsbIdentity(board.port, &usb)) board.usb = usb;
    if (!gang.args.logs.empty()) {
        const std::string path = gang.args.logs + "/" + LogFileName(board.port, gang.state.station ? board.number : 0);
        runner.log = fopen(path.c_str(), "wb");
        if (runner.log == nullptr) {
            Say(gang, "Error: Cannot write the log file '" + path + "'.\n");
            gang.writeFailed = true;
        }
    }
    gang.dirty = true;
    if (Events(gang)) Emit(gang, StartEvent(board));
    if (!StartChild(gang.tool, {gang.args.image, "-COM", runner.value}, &runner.child)) {
        board.outcome = "failed";
        board.message = "Error: tessan could not be started.";
        return false;
    }
    board.running = true;
    return true;
}

// Takes what the child has printed: into the log and the board's state,
// and the phases it went through to the event stream.
void Collect(Gang& gang, size_t index) {
    BoardInfo& board = gang.state.boards[index];
    Runner& runner = *gang.runners[index];
    std::string bytes;
    ReadChild(&runner.child, &bytes);
    if (bytes.empty()) return;
    if (bytes.size() > kLookBytes) gang.lookSeconds = std::min(gang.lookSeconds, kLookSeconds * kLookBytes / bytes.size());
    // Flushed at once, so the log can be watched while the board runs.
    if (runner.log != nullptr &&
        (fwrite(bytes.data(), 1, bytes.size(), runner.log) != bytes.size() || fflush(runner.log) != 0)) {
        Say(gang, "Error: Cannot write the log of " + board.port + ".\n");
        fclose(runner.log);
        runner.log = nullptr;
        gang.writeFailed = true;
    }
    std::vector<BoardState> phases;
    if (!runner.output.Feed(bytes.data(), bytes.size(), Events(gang) ? &phases : nullptr)) return;
    gang.dirty = true;
    if (!Events(gang)) {
        board.tool = runner.output.state();
        return;
    }
    // Each phase on the way, then where the board stands now.
    phases.push_back(runner.output.state());
    for (const BoardState& state : phases) {
        board.tool = state;
        const std::string key = PhaseKey(board);
        if (key.empty() || key == runner.sentPhase) continue;
        runner.sentPhase = key;
        Emit(gang, PhaseEvent(board));
    }
}

// The board has ended (its child waited for): its outcome, line and report.
void Finish(Gang& gang, size_t index, int exitCode) {
    BoardInfo& board = gang.state.boards[index];
    Runner& runner = *gang.runners[index];
    board.running = false;
    board.seconds = Now() - board.startAt;
    board.endMs = UnixMs();
    const BoardState& state = board.tool;
    BoardState plain = state;  // the phase without its count of tries
    plain.dots = 0;
    char limit[64];
    snprintf(limit, sizeof limit, "%g", gang.args.timeout);
    if (runner.interrupted && state.phase != Phase::kUpdated && state.phase != Phase::kFailed) {
        board.outcome = "interrupted";
        board.message = "Interrupted (" + PhaseText(plain) + ").";
    } else if (runner.timedOut && state.phase != Phase::kUpdated && state.phase != Phase::kFailed) {
        board.outcome = "timed out";
        board.message = "Timed out after " + std::string(limit) + " s (" + PhaseText(plain) + ").";
    } else if (state.phase == Phase::kUpdated && (exitCode == 0 || runner.endAsked >= 0)) {
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
    if (runner.log != nullptr) {
        if (fclose(runner.log) != 0) {
            Say(gang, "Error: Cannot write the log of " + board.port + ".\n");
            gang.writeFailed = true;
        }
        runner.log = nullptr;
    }
    CountEnded(&gang.state, index);
    if (!gang.args.report.empty()) {
        std::string why;
        if (!gang.report.Write(ReportLine(RecordOf(gang.state, board)), &why)) {
            Say(gang, "Error: Cannot write the report '" + gang.args.report + "': " + why + ".\n");
            gang.writeFailed = true;
        }
    }
    if (Events(gang)) Emit(gang, EndEvent(gang.state, board));
    if (!gang.terminal && !gang.args.json) WriteOut(BoardEndLine(gang.state, board));
    gang.dirty = true;
}

// Reads, reaps and bounds every running board once.
void Tend(Gang& gang, Station* station) {
    const double now = Now();
    gang.lookSeconds = kLookSeconds;
    for (size_t i = 0; i < gang.runners.size(); ++i) {
        if (!gang.state.boards[i].running) continue;
        Runner& runner = *gang.runners[i];
        Collect(gang, i);
        int exitCode = -1;
        if (runner.child.eof && ChildEnded(&runner.child, &exitCode)) {
            Finish(gang, i, exitCode);
            if (station != nullptr) station->FlashEnded(runner.value, Now());
            continue;
        }
        const BoardInfo& board = gang.state.boards[i];
        if (runner.endAsked < 0 && now - board.startAt >= gang.args.timeout) {
            runner.timedOut = true;
            runner.endAsked = now;
            EndChild(&runner.child, false);
        } else if (runner.endAsked >= 0 && now - runner.endAsked >= kGraceSeconds) {
            EndChild(&runner.child, true);
        }
    }
}

bool AnyRunning(const Gang& gang) {
    for (const BoardInfo& board : gang.state.boards) {
        if (board.running) return true;
    }
    return false;
}

// How long the gang may wait before it looks again, at most `seconds`: the
// children's output is looked at every lookSeconds (a child's writing does
// not wake the gang: nothing shows it sooner), a board's time limit when it
// is due, and a child whose pipe has closed is about to end: soon.
double WaitLimit(const Gang& gang, double seconds) {
    seconds = std::min(seconds, gang.lookSeconds);
    const double now = Now();
    for (size_t i = 0; i < gang.runners.size(); ++i) {
        const BoardInfo& board = gang.state.boards[i];
        const Runner& runner = *gang.runners[i];
        if (!board.running) continue;
        if (runner.child.eof) seconds = std::min(seconds, 0.01);
        const double due = runner.endAsked < 0 ? board.startAt + gang.args.timeout : runner.endAsked + kGraceSeconds;
        seconds = std::min(seconds, due - now);
    }
    return seconds < 0.005 ? 0.005 : seconds;
}

// A board for the -COM value `value`; its port is the name tessan will
// print, without a URL's query.
size_t AddBoard(Gang& gang, const std::string& value) {
    char formed[kPortNameSize] = {};
    const std::string named = DerivePortName(value.c_str(), formed, kDevicePaths);
    BoardInfo board;
    board.number = static_cast<int>(gang.state.boards.size()) + 1;
    board.port = named.substr(0, LengthWithoutQuery(named.c_str()));
    gang.state.boards.push_back(board);
    gang.runners.emplace_back(new Runner);
    gang.runners.back()->value = value;
    gang.runners.back()->output = ToolOutput(named);
    const size_t index = gang.state.boards.size() - 1;
    TakeSlot(&gang.state, index);
    return index;
}

std::vector<ChildProcess*> RunningChildren(Gang& gang) {
    std::vector<ChildProcess*> children;
    for (size_t i = 0; i < gang.runners.size(); ++i) {
        if (gang.state.boards[i].running) children.push_back(&gang.runners[i]->child);
    }
    return children;
}

// Ctrl-C: every child ends at once; the boards still running are interrupted.
void EndAll(Gang& gang) {
    const double asked = Now();
    for (size_t i = 0; i < gang.runners.size(); ++i) {
        if (!gang.state.boards[i].running) continue;
        gang.runners[i]->interrupted = true;
        gang.runners[i]->endAsked = asked;
        EndChild(&gang.runners[i]->child, false);
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
    for (size_t i = 0; i < gang.state.boards.size(); ++i) StartBoard(gang, i);
    for (size_t i = 0; i < gang.state.boards.size(); ++i) {
        if (!gang.state.boards[i].running) Finish(gang, i, -1);
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
    const auto started = [&gang] { return static_cast<long>(gang.state.boards.size()); };
    for (;;) {
        if (Interrupted()) {
            EndAll(gang);
            break;
        }
        Tend(gang, &station);
        const bool countReached = gang.args.count > 0 && started() >= gang.args.count;
        if (countReached && !AnyRunning(gang)) break;
        if (Now() - lastLook >= kPortsSeconds) {
            lastLook = Now();
            for (const std::string& port : station.Look(ListPorts(gang.args.wait), lastLook)) {
                if (gang.args.count > 0 && started() >= gang.args.count) {
                    station.FlashEnded(port, lastLook);  // left alone: the count is reached
                    continue;
                }
                const size_t index = AddBoard(gang, port);
                if (!StartBoard(gang, index)) {
                    Finish(gang, index, -1);
                    station.FlashEnded(port, Now());
                }
            }
        }
        const double waitSeconds = std::min(kPortsSeconds - (Now() - lastLook), DrawWhenDue(gang));
        WaitForEvents(RunningChildren(gang), static_cast<int>(WaitLimit(gang, waitSeconds) * 1000));
    }
}

// Two names for one port are refused before anything starts.
bool CheckPorts(Gang& gang) {
    std::vector<std::pair<std::string, std::string>> seen;  // device, first port name
    for (const BoardInfo& board : gang.state.boards) {
        const std::string key = DeviceKey(board.port);
        auto it = std::find_if(seen.begin(), seen.end(), [&key](const auto& s) { return s.first == key; });
        if (it == seen.end()) {
            seen.push_back({key, board.port});
            continue;
        }
        if (it->second == board.port) {
            Say(gang, "Error: Port " + board.port + " is named twice.\n");
        } else {
            Say(gang, "Error: Ports " + it->second + " and " + board.port + " are the same device.\n");
        }
        return false;
    }
    return true;
}

// The image file's name without its folders.
std::string LastComponent(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
    Gang gang;
    if (!ScanGangArgs(argc, argv, &gang.args)) {
        Say(gang, kGangUsage);
        return kFailure;
    }
    if (gang.args.help) {
        WriteOut(kGangUsage);
        return 0;
    }
    if (!PreparePlatform()) {
        Say(gang, "Error: The console could not be prepared.\n");
        return kFailure;
    }
    // The image, checked once with tessan's own messages, before any port.
    const char* imageName = gang.args.image.c_str();
    FILE* file = fopen(imageName, "rb");
    if (file == nullptr) {
        char text[8400];
        snprintf(text, sizeof text, kFileNotFound, imageName);
        Say(gang, text);
        return kFailure;
    }
    static unsigned char image[kImageCapacity];
    size_t length = 0;
    std::string refusal;
    const bool usable = LoadImage(file, imageName, image, &length, &refusal);
    fclose(file);
    if (!usable) {
        Say(gang, refusal);
        return kFailure;
    }
    gang.state.image = LastComponent(gang.args.image);
    gang.state.sha = Sha256OfFile(imageName);
    gang.state.version = TESSAN_VERSION;
    gang.state.startedMs = UnixMs();

    gang.tool = ToolBeside(argv[0]);
    if (!IsProgram(gang.tool)) {
        Say(gang, "Error: " + gang.tool + " not found beside tessan-gang.\n");
        return kFailure;
    }
    gang.state.station = !gang.args.wait.empty();
    for (const std::string& value : gang.args.ports) AddBoard(gang, value);
    if (!CheckPorts(gang)) return kFailure;
    if (!gang.args.logs.empty() && !MakeFolder(gang.args.logs)) {
        Say(gang, "Error: Cannot make the log folder '" + gang.args.logs + "'.\n");
        return kFailure;
    }
    std::string why;
    if (!gang.args.report.empty() && !gang.report.Open(gang.args.report, &why)) {
        Say(gang, "Error: Cannot open the report '" + gang.args.report + "': " + why + ".\n");
        return kFailure;
    }

    // The station view, bound before any board starts: a port that cannot
    // be had refuses the run.
    StationServer server;
    if (gang.args.servePort >= 0) {
        if (!server.Start(gang.args.serveHost, gang.args.servePort, &why)) {
            const std::string& host = gang.args.serveHost;
            const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
            Say(gang, "Error: Cannot serve on " + shown + ":" + std::to_string(gang.args.servePort) + ": " + why + ".\n");
            return kFailure;
        }
        WriteOut(gang.args.json ? ServingEvent(server.Url()) + "\n" : "Serving the station view on " + server.Url() + "\n");
        gang.publish = [&server](const std::string& stateJson, const std::string& eventJson) {
            server.Publish(stateJson, eventJson);
        };
        server.Publish(StateJson(gang.state, Now()), "");  // the state for the first viewers
    }

    gang.terminal = !gang.args.json && OutputIsTerminal();
    if (gang.state.station) {
        if (!gang.args.json) WriteOut("Waiting for ports matching " + gang.args.wait + " (Ctrl-C ends).\n");
        RunStation(gang);
    } else {
        RunNamed(gang);
    }
    gang.state.ended = true;
    if (gang.terminal) {
        Draw(gang, true);
        WriteOut(gang.deferred);
    }
    if (Events(gang)) Emit(gang, SummaryEvent(gang.state));
    if (!gang.args.json) WriteOut(SummaryText(gang.state));
    // The viewers have the summary; their connections end.
    gang.publish = nullptr;
    server.Stop();
    FinishedAfterInterrupt();
    const GangState& s = gang.state;
    const bool allGood = s.failed == 0 && !gang.writeFailed &&
                         (s.station || s.updated == static_cast<int>(s.boards.size()));
    return allGood ? 0 : kFailure;
}
