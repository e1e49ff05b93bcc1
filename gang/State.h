// The run's state, kept once, and every view of it as a pure function: the
// table's rows, the end lines, the summary, the report's line, the --json
// events and the station view's state object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "GangText.h"
#include "Report.h"
#include "ToolOutput.h"
#include "UsbInfo.h"

// One board.
struct BoardInfo {
    int number = 0;              // 1 up in start order (a station's log file number too)
    std::string port;            // the port's name without its URL query
    std::optional<UsbInfo> usb;  // looked up when the board starts
    bool running = false;        // its tessan runs
    bool ended = false;
    double startAt = 0;          // on the gang's clock, seconds
    int64_t startMs = 0, endMs = 0;
    double seconds = 0;          // in all, once ended
    BoardState tool;             // what its tessan has shown
    std::string outcome;         // once ended: "updated", "failed", "timed out", "interrupted"
    std::string message;         // once ended: the tool's closing message or the gang's words
};

struct GangState {
    std::string image;        // the image file's name, its last path component
    std::string sha;          // the image file's SHA-256
    std::string version;      // the package's
    bool station = false;
    bool ended = false;       // every board has ended / the station stopped
    int64_t startedMs = 0;
    int updated = 0, failed = 0;
    std::vector<BoardInfo> boards;  // in start order
    std::vector<size_t> slots;      // each port's latest board, in the table's order
    std::vector<size_t> endOrder;   // the boards in the order they ended
};

// Makes board `index` its port's latest: it takes the place of the port's
// earlier board, or (a new port) goes at the end, in a station in the
// order of the ports' names.
void TakeSlot(GangState* state, size_t index);

// Counts board `index` as ended (its outcome, message and times set).
void CountEnded(GangState* state, size_t index);

// The percent a view shows: while transferring 0..99, 100 once updated,
// else 0.
int ShownPercent(const BoardInfo& board);

// The table's rows at time `now`: one per slot, the port with the board's
// USB serial number beside it where there is one.
std::vector<TableRow> TableRows(const GangState& state, double now);

// The line for an ended board, with a station's running count.
std::string BoardEndLine(const GangState& state, const BoardInfo& board);

// The summary: the count updated and the ports not updated, as named.
std::string SummaryText(const GangState& state);

// The board's report record and its line.
ReportRecord RecordOf(const GangState& state, const BoardInfo& board);

// The events of the --json stream and the station view, one JSON object
// each, no line feed.
std::string ServingEvent(const std::string& url);
std::string StartEvent(const BoardInfo& board);
std::string PhaseEvent(const BoardInfo& board);
std::string EndEvent(const GangState& state, const BoardInfo& board);
std::string SummaryEvent(const GangState& state);
std::string ErrorEvent(const std::string& message);

// The whole state at time `now` as one JSON object (the station view's).
std::string StateJson(const GangState& state, double now);

// What a board's phase event says (its phase word and percent), "" where
// none applies (starting, ended): a phase event goes out when it changes.
std::string PhaseKey(const BoardInfo& board);
