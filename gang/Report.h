// The report: one JSON object per board and line (JSON Lines). Pure: the
// line's text; writing it is the driver's.
#pragma once

#include <cstdint>
#include <string>

struct ReportRecord {
    std::string port;
    int64_t startMs;      // milliseconds since 1970-01-01 00:00 UTC
    int64_t endMs;
    double seconds;
    std::string outcome;  // "updated", "failed", "timed out", "interrupted"
    std::string message;  // the tool's own closing message
    std::string imageSha256;
    std::string toolVersion;
};

// {"port":...,"start":...,"end":...,"seconds":...,"outcome":...,"message":...,
// "image_sha256":...,"tool_version":...} and a line feed.
std::string ReportLine(const ReportRecord& record);

// "2026-12-09T04:13:03Z": UTC, ISO 8601, whole seconds.
std::string IsoUtc(int64_t unixMs);

// `text` as a JSON string, quotes included; control characters escaped,
// bytes that are not valid UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);
