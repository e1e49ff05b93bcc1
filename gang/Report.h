// The report: one JSON object per board and line (JSON Lines). Pure: the
// line's text; writing it is the driver's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "UsbInfo.h"

struct ReportRecord {
    std::string port;
    int64_t startMs;      // milliseconds since 1970-01-01 00:00 UTC
    int64_t endMs;
    double seconds;
    std::string outcome;  // "updated", "failed", "timed out", "interrupted"
    std::string message;  // the tool's own closing message
    std::string imageSha256;
    std::string toolVersion;
    std::optional<std::string> greeting;  // the loader's, as tessan showed it
    std::optional<UsbInfo> usb;           // the USB device behind the port
};

// {"port":...,"start":...,"end":...,"seconds":...,"outcome":...,"message":...,
// "image_sha256":...,"tool_version":...,"greeting":...,"usb":...} and a line
// feed.
std::string ReportLine(const ReportRecord& record);

// "2026-12-09T04:13:03Z": UTC, ISO 8601, whole seconds.
std::string IsoUtc(int64_t unixMs);

// `text` as a JSON string, quotes included; control characters escaped,
// bytes that are not valid UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);

// A JSON string, or null when there is no value.
std::string JsonOrNull(const std::optional<std::string>& text);

// {"vid":...,"pid":...,"serial":...,"manufacturer":...,"product":...,
// "location":...}, or null when nothing is known.
std::string UsbJson(const std::optional<UsbInfo>& usb);
