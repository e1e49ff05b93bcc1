// The views of the run's state: table rows, end lines, summary, report
// record, the --json events and the state object.
#include "State.h"

#include <algorithm>
#include <cstdio>

namespace {

const size_t kRecent = 20;  // the state's list of the last boards ended

std::string OneDecimal(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", seconds < 0 ? 0.0 : seconds);
    return text;
}

std::string Head(const char* event) { return std::string("{\"event\":\"") + event + "\""; }

std::string BoardHead(const char* event, const BoardInfo& board) {
    return Head(event) + ",\"board\":" + std::to_string(board.number) + ",\"port\":" + JsonString(board.port);
}

// The phase's word for the --json stream and the state while the board runs:
// a closing message read before tessan ends keeps the phase it ended.
std::string RunningWord(const BoardInfo& board) {
    const Phase phase = board.tool.phase == Phase::kUpdated || board.tool.phase == Phase::kFailed
                            ? board.tool.before
                            : board.tool.phase;
    return phase == Phase::kStarting ? "starting" : PhaseWord(phase);
}

std::string TableDoing(const BoardInfo& board) {
    if (board.ended) return board.outcome == "updated" ? "updated" : board.message;
    return PhaseText(board.tool);
}

}  // namespace

void TakeSlot(GangState* state, size_t index) {
    const std::string& port = state->boards[index].port;
    std::vector<size_t>& slots = state->slots;
    for (size_t& slot : slots) {
        if (state->boards[slot].port == port) {
            slot = index;
            return;
        }
    }
    auto at = slots.end();
    if (state->station) {
        at = std::find_if(slots.begin(), slots.end(),
                          [&](size_t slot) { return state->boards[slot].port > port; });
    }
    slots.insert(at, index);
}

void CountEnded(GangState* state, size_t index) {
    BoardInfo& board = state->boards[index];
    board.ended = true;
    board.running = false;
    if (board.outcome == "updated") {
        ++state->updated;
    } else {
        ++state->failed;
    }
    state->endOrder.push_back(index);
}

int ShownPercent(const BoardInfo& board) {
    if (board.ended) return board.outcome == "updated" ? 100 : 0;
    if (RunningWord(board) != "transferring") return 0;
    return std::min(board.tool.percent, 99);
}

std::vector<TableRow> TableRows(const GangState& state, double now) {
    std::vector<TableRow> rows;
    for (size_t slot : state.slots) {
        const BoardInfo& board = state.boards[slot];
        std::string port = board.port;
        if (board.usb && board.usb->serial) port += " (" + *board.usb->serial + ")";
        rows.push_back({port, TableDoing(board), board.ended ? board.seconds : now - board.startAt});
    }
    return rows;
}

std::string BoardEndLine(const GangState& state, const BoardInfo& board) {
    std::string line = EndLine(board.port, board.message, board.seconds);
    if (state.station) line.insert(line.size() - 1, " " + StationCount(state.updated, state.failed));
    return line;
}

std::string SummaryText(const GangState& state) {
    std::vector<std::string> notUpdated;
    for (const BoardInfo& board : state.boards) {
        if (board.outcome != "updated") notUpdated.push_back(board.port);
    }
    return Summary(state.updated, state.updated + state.failed, notUpdated);
}

ReportRecord RecordOf(const GangState& state, const BoardInfo& board) {
    return {board.port,    board.startMs, board.endMs,        board.seconds,      board.outcome,
            board.message, state.sha,     state.version,      board.tool.greeting, board.usb};
}

std::string ServingEvent(const std::string& url) { return Head("serving") + ",\"url\":" + JsonString(url) + "}"; }

std::string StartEvent(const BoardInfo& board) {
    return BoardHead("start", board) + ",\"time\":" + JsonString(IsoUtc(board.startMs)) + ",\"usb\":" +
           UsbJson(board.usb) + "}";
}

std::string PhaseKey(const BoardInfo& board) {
    if (board.ended || !board.running) return "";
    const std::string word = RunningWord(board);
    if (word == "starting" || word.empty()) return "";
    return word == "transferring" ? word + " " + std::to_string(ShownPercent(board)) : word;
}

std::string PhaseEvent(const BoardInfo& board) {
    const std::string word = RunningWord(board);
    std::string event = BoardHead("phase", board) + ",\"phase\":" + JsonString(word);
    if (word == "transferring") event += ",\"percent\":" + std::to_string(ShownPercent(board));
    return event + "}";
}

std::string EndEvent(const GangState& state, const BoardInfo& board) {
    const std::string line = ReportLine(RecordOf(state, board));  // "{...}\n"
    return Head("end") + ",\"board\":" + std::to_string(board.number) + "," + line.substr(1, line.size() - 2);
}

std::string SummaryEvent(const GangState& state) {
    std::string ports;
    for (const BoardInfo& board : state.boards) {
        if (board.outcome == "updated") continue;
        ports += (ports.empty() ? "" : ",") + JsonString(board.port);
    }
    return Head("summary") + ",\"updated\":" + std::to_string(state.updated) + ",\"boards\":" +
           std::to_string(state.updated + state.failed) + ",\"not_updated\":[" + ports + "]}";
}

std::string ErrorEvent(const std::string& message) {
    std::string text = message;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return Head("error") + ",\"message\":" + JsonString(text) + "}";
}

std::string StateJson(const GangState& state, double now) {
    std::string json = "{\"image\":" + JsonString(state.image) + ",\"image_sha256\":" + JsonString(state.sha) +
                       ",\"station\":" + (state.station ? "true" : "false") +
                       ",\"ended\":" + (state.ended ? "true" : "false") +
                       ",\"updated\":" + std::to_string(state.updated) +
                       ",\"failed\":" + std::to_string(state.failed) + ",\"boards\":[";
    for (size_t i = 0; i < state.slots.size(); ++i) {
        const BoardInfo& board = state.boards[state.slots[i]];
        json += std::string(i == 0 ? "" : ",") + "{\"board\":" + std::to_string(board.number) +
                ",\"port\":" + JsonString(board.port) + ",\"usb\":" + UsbJson(board.usb) +
                ",\"phase\":" + JsonString(board.ended ? "ended" : RunningWord(board)) +
                ",\"percent\":" + std::to_string(ShownPercent(board)) +
                ",\"seconds\":" + OneDecimal(board.ended ? board.seconds : now - board.startAt) +
                ",\"outcome\":" + (board.ended ? JsonString(board.outcome) : "null") +
                ",\"message\":" + (board.ended ? JsonString(board.message) : "null") + "}";
    }
    json += "],\"started\":" + JsonString(IsoUtc(state.startedMs)) + ",\"recent\":[";
    const size_t count = std::min(state.endOrder.size(), kRecent);
    for (size_t i = 0; i < count; ++i) {
        const BoardInfo& board = state.boards[state.endOrder[state.endOrder.size() - 1 - i]];
        const std::optional<std::string> serial = board.usb ? board.usb->serial : std::nullopt;
        json += std::string(i == 0 ? "" : ",") + "{\"board\":" + std::to_string(board.number) +
                ",\"port\":" + JsonString(board.port) + ",\"serial\":" + JsonOrNull(serial) +
                ",\"outcome\":" + JsonString(board.outcome) + ",\"message\":" + JsonString(board.message) +
                ",\"seconds\":" + OneDecimal(board.seconds) + ",\"end\":" + JsonString(IsoUtc(board.endMs)) + "}";
    }
    return json + "]}";
}
