// The argument scan of tessan-gang and its usage text.
#include "GangArgs.h"

#include <cstdlib>
#include <cstring>

const char kGangUsage[] =
    "usage: tessan-gang <filename.ext> PORT... [options]\n"
    "       tessan-gang <filename.ext> --wait PATTERN [options]\n"
    "\n"
    "Flashes one image into many boards at once, one tessan per port.\n"
    "\n"
    "  filename.ext        File containing flash upgrade buffer.\n"
    "  PORT                A port as tessan's -COM takes it: 3, COM3, /dev/ttyUSB0,\n"
    "                      /dev/serial/by-id/..., rfc2217://HOST:PORT,\n"
    "                      socket://HOST:PORT and their +tls forms.\n"
    "  --logs DIR          Keep each board's output in DIR, one file per port.\n"
    "  --report FILE       Append one JSON line per board to FILE (with the\n"
    "                      loader's greeting and the board's USB identity).\n"
    "  --timeout SECONDS   End a board's tessan after SECONDS (default 300).\n"
    "  --wait PATTERN      Station: flash each port matching PATTERN as it\n"
    "                      appears ('/dev/ttyUSB*'; COM* on Windows), until\n"
    "                      Ctrl-C or --count boards.\n"
    "  --settle SECONDS    Station: a flashed port must be gone this long and\n"
    "                      come back to be flashed again (default 3).\n"
    "  --count N           Station: stop after N boards.\n"
    "  --json              Print the run as JSON Lines: one event a line (start,\n"
    "                      phase, end, summary), nothing else.\n"
    "  --serve [HOST:]PORT Show the run on a web page at http://HOST:PORT/\n"
    "                      (default host 127.0.0.1: this machine only).\n"
    "  --help              Show this text.\n"
    "\n"
    "Exit status 0 when every board was updated, -1 (255) otherwise.\n";

bool ScanSeconds(const char* text, double* seconds) {
    const char* p = text;
    double value = 0;
    bool digits = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        digits = true;
    }
    if (*p == '.') {
        double scale = 0.1;
        for (++p; *p >= '0' && *p <= '9'; ++p) {
            value += (*p - '0') * scale;
            scale /= 10;
            digits = true;
        }
    }
    if (!digits || *p != '\0' || value > 1e9) return false;
    *seconds = value;
    return true;
}

namespace {

bool ScanCount(const char* text, long* count) {
    long value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value > 100000000) return false;
        value = value * 10 + (*p - '0');
    }
    if (p == text || *p != '\0' || value < 1) return false;
    *count = value;
    return true;
}

}  // namespace

bool ScanServeAddress(const char* text, std::string* host, int* port) {
    const std::string value = text;
    std::string name = "127.0.0.1", digits = value;
    if (!value.empty() && value[0] == '[') {
        const size_t close = value.find("]:");
        if (close == std::string::npos || close < 2) return false;
        name = value.substr(1, close - 1);
        digits = value.substr(close + 2);
        if (name.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) return false;
    } else if (value.find(':') != std::string::npos) {
        const size_t colon = value.find(':');
        name = value.substr(0, colon);
        digits = value.substr(colon + 1);
        if (name.empty() || name.find_first_of(":[]/ ") != std::string::npos) return false;
    }
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int number = atoi(digits.c_str());
    if (number > 65535) return false;
    *host = name;
    *port = number;
    return true;
}

bool ScanGangArgs(int argc, const char* const* argv, GangArgs* args) {
    *args = GangArgs();
    bool haveImage = false, haveSettle = false, haveCount = false, ok = true;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            args->help = true;
            continue;
        }
        if (strcmp(a, "--json") == 0) {
            args->json = true;
            continue;
        }
        if (a[0] != '-' || a[1] == '\0') {
            if (!haveImage) {
                args->image = a;
                haveImage = true;
            } else {
                args->ports.push_back(a);
            }
            continue;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) {
            ok = false;
            continue;
        }
        ++i;
        if (strcmp(a, "--logs") == 0) {
            args->logs = value;
            ok = ok && *value != '\0';
        } else if (strcmp(a, "--report") == 0) {
            args->report = value;
            ok = ok && *value != '\0';
        } else if (strcmp(a, "--timeout") == 0) {
            ok = ScanSeconds(value, &args->timeout) && args->timeout > 0 && ok;
        } else if (strcmp(a, "--wait") == 0) {
            args->wait = value;
            ok = ok && *value != '\0';
        } else if (strcmp(a, "--settle") == 0) {
            ok = ScanSeconds(value, &args->settle) && ok;
            haveSettle = true;
        } else if (strcmp(a, "--count") == 0) {
            ok = ScanCount(value, &args->count) && ok;
            haveCount = true;
        } else if (strcmp(a, "--serve") == 0) {
            ok = ScanServeAddress(value, &args->serveHost, &args->servePort) && ok;
        } else {
            ok = false;
        }
    }
    if (args->help) return true;
    if (!ok || !haveImage) return false;
    if (args->wait.empty()) return !args->ports.empty() && !haveSettle && !haveCount;
    return args->ports.empty();
}
