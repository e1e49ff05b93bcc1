// The texts tessan-gang prints: the table's rows, the line for a board that
// ended, the summary, and the name of a board's log file. Pure.
#pragma once

#include <string>
#include <vector>

struct TableRow {
    std::string port;
    std::string doing;  // PhaseText of the board, or its outcome
    double seconds;     // so far, or in all once it ended
};

// The table, one line per row, each cut to `width` characters (0: no limit):
// the port, what it is doing, and its whole seconds ("12 s"), in columns.
std::vector<std::string> TableLines(const std::vector<TableRow>& rows, size_t width);

// The table cut to `height` lines (0: no limit) so that it can be redrawn in
// place: the rows that do not fit become one line "... and N more boards.";
// the last `keep` lines (the station's count) stay.
std::vector<std::string> FitLines(std::vector<std::string> lines, size_t height, size_t keep);

// The line for a board that ended: "PORT: MESSAGE (12.3 s)\n".
std::string EndLine(const std::string& port, const std::string& message, double seconds);

// "Updated 7 of 8 boards.\n", then "Not updated: PORT PORT\n" when any failed.
std::string Summary(int updated, int total, const std::vector<std::string>& notUpdated);

// The station's running count: "Updated 5, failed 1."
std::string StationCount(int updated, int failed);

// A file name for the log of `port`: each run of '/', '\\', ':' and the other
// characters a file name cannot hold on Windows becomes one '_' (none at
// the start; a leading \\.\ is dropped);
// `serial` > 0 (station boards) adds "-N". Ends in ".log".
std::string LogFileName(const std::string& port, int serial);
