// The report's line: JSON escaping and UTC time stamps.
#include "Report.h"

#include <cstdio>

std::string IsoUtc(int64_t unixMs) {
    int64_t seconds = unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000;
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t rest = seconds - days * 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
             static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
             static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

namespace {

// The length of the valid UTF-8 sequence at s[i], or 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned min;
    if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
    else return 0;
    if (i + n > s.size()) return 0;
    unsigned value = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        value = value << 6 | (t & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c >= 0x80) {
            const size_t n = Utf8Length(text, i);
            if (n == 0) {
                out += "\\ufffd";
                ++i;
                continue;
            }
            out.append(text, i, n);
            i += n;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string ReportLine(const ReportRecord& record) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.3f", record.seconds);
    return "{\"port\":" + JsonString(record.port) + ",\"start\":" + JsonString(IsoUtc(record.startMs)) +
           ",\"end\":" + JsonString(IsoUtc(record.endMs)) + ",\"seconds\":" + seconds +
           ",\"outcome\":" + JsonString(record.outcome) + ",\"message\":" + JsonString(record.message) +
           ",\"image_sha256\":" + JsonString(record.imageSha256) +
           ",\"tool_version\":" + JsonString(record.toolVersion) + ",\"greeting\":" + JsonOrNull(record.greeting) +
           ",\"usb\":" + UsbJson(record.usb) + "}\n";
}

std::string JsonOrNull(const std::optional<std::string>& text) { return text ? JsonString(*text) : "null"; }

std::string UsbJson(const std::optional<UsbInfo>& usb) {
    if (!usb) return "null";
    return "{\"vid\":" + JsonOrNull(usb->vid) + ",\"pid\":" + JsonOrNull(usb->pid) + ",\"serial\":" +
           JsonOrNull(usb->serial) + ",\"manufacturer\":" + JsonOrNull(usb->manufacturer) +
           ",\"product\":" + JsonOrNull(usb->product) + ",\"location\":" + JsonOrNull(usb->location) + "}";
}
