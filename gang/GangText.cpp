// The table, the end lines, the summary and the log file names.
#include "GangText.h"

#include <cstdio>
#include <cstring>

namespace {

std::string Seconds(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

}  // namespace

std::vector<std::string> TableLines(const std::vector<TableRow>& rows, size_t width) {
    size_t portWidth = 4, doingWidth = 20;
    for (const TableRow& row : rows) {
        if (row.port.size() > portWidth) portWidth = row.port.size();
        if (row.doing.size() > doingWidth) doingWidth = row.doing.size();
    }
    std::vector<std::string> lines;
    for (const TableRow& row : rows) {
        std::string line = row.port + std::string(portWidth - row.port.size() + 2, ' ') + row.doing +
                           std::string(doingWidth - row.doing.size() + 2, ' ');
        const std::string seconds = std::to_string(static_cast<long>(row.seconds)) + " s";
        line += std::string(seconds.size() < 9 ? 9 - seconds.size() : 0, ' ') + seconds;
        if (width > 0 && line.size() > width) line.resize(width);
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> FitLines(std::vector<std::string> lines, size_t height, size_t keep) {
    if (height == 0 || lines.size() <= height || height < keep + 2) return lines;
    const size_t shown = height - keep - 1;  // rows, then the "more" line, then the kept ones
    const size_t hidden = lines.size() - keep - shown;
    std::vector<std::string> fit(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(shown));
    fit.push_back("... and " + std::to_string(hidden) + (hidden == 1 ? " more board." : " more boards."));
    fit.insert(fit.end(), lines.end() - static_cast<std::ptrdiff_t>(keep), lines.end());
    return fit;
}

std::string EndLine(const std::string& port, const std::string& message, double seconds) {
    return port + ": " + message + " (" + Seconds(seconds) + ")\n";
}

std::string Summary(int updated, int total, const std::vector<std::string>& notUpdated) {
    std::string text = "Updated " + std::to_string(updated) + " of " + std::to_string(total) +
                       (total == 1 ? " board.\n" : " boards.\n");
    if (!notUpdated.empty()) {
        text += "Not updated:";
        for (const std::string& port : notUpdated) text += " " + port;
        text += "\n";
    }
    return text;
}

std::string StationCount(int updated, int failed) {
    return "Updated " + std::to_string(updated) + ", failed " + std::to_string(failed) + ".";
}

std::string LogFileName(const std::string& port, int serial) {
    // Windows' device namespace prefix says nothing about the port.
    const size_t skip = port.compare(0, 4, "\\\\.\\") == 0 ? 4 : 0;
    std::string name;
    bool gap = false;
    for (size_t i = skip; i < port.size(); ++i) {
        const char c = port[i];
        if (strchr("/\\:*?\"<>|", c) != nullptr || static_cast<unsigned char>(c) < 32) {
            gap = true;
            continue;
        }
        if (gap && !name.empty()) name += '_';
        gap = false;
        name += c;
    }
    if (name.empty()) name = "port";
    if (serial > 0) name += "-" + std::to_string(serial);
    return name + ".log";
}
