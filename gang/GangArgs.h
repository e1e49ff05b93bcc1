// tessan-gang's command line: the argument scan and its usage text. Pure,
// so tests can call it directly.
#pragma once

#include <string>
#include <vector>

struct GangArgs {
    std::string image;               // the image file
    std::vector<std::string> ports;  // each as tessan's -COM takes it
    std::string logs;                // --logs DIR (empty: none)
    std::string report;              // --report FILE (empty: none)
    double timeout = 300;            // --timeout SECONDS, per board
    std::string wait;                // --wait PATTERN (empty: named ports)
    double settle = 3;               // --settle SECONDS (station)
    long count = 0;                  // --count N (station; 0: until Ctrl-C)
    bool json = false;               // --json: JSON Lines on standard output
    std::string serveHost;           // --serve [HOST:]PORT (default host 127.0.0.1)
    int servePort = -1;              // -1: nothing served; 0: any free port
    bool help = false;               // --help or -h
};

// Scans argv[1..argc-1]. The first argument that is not an option is the
// image file, every later one a port. Options but --json and --help take
// their value from the next argument. Returns false on wrong arguments: no image, no port (and
// no --wait), ports and --wait together, --settle or --count without
// --wait, an unknown option, a missing value, a value that is not a
// number (or not above zero where zero makes no sense). --help wins over
// everything else.
bool ScanGangArgs(int argc, const char* const* argv, GangArgs* args);

// Reads a whole argument as a number of seconds (digits with an optional
// fraction); false for anything else.
bool ScanSeconds(const char* text, double* seconds);

// Reads --serve's value: PORT, HOST:PORT or [IPV6]:PORT, the port 0 to
// 65535; the host 127.0.0.1 when none is given. False for anything else.
bool ScanServeAddress(const char* text, std::string* host, int* port);

extern const char kGangUsage[];
