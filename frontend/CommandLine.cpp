// The argument scan and the port-name derivation.
#include "CommandLine.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "../serial/NetAddress.h"

bool ScanArguments(int argc, const char* const* argv, CommandLine* line) {
    line->fileName = nullptr;
    line->comValue = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-COM") == 0 && i + 1 < argc) {
            line->comValue = argv[++i];
        } else if (line->fileName != nullptr) {
            return false;
        } else {
            line->fileName = argv[i];
        }
    }
    return true;
}

namespace {
// The white space that scanf skips, independent of the locale.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

bool ScanDecimal(const char* text, int* value) {
    const char* p = text;
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;

    // Accumulate the magnitude in a wider type and stop growing it once it
    // is past the limit, so no digit string can overflow.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= limit) magnitude = magnitude * 10 + (*p - '0');
    }
    if (magnitude > limit) magnitude = limit;
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

const char* DerivePortName(const char* comValue, char (&portName)[kPortNameSize], bool devicePaths) {
    const char* value = comValue != nullptr ? comValue : "1";
    // A network port ("rfc2217://host:port") is named by its URL, whole.
    if (IsNetworkName(value)) return value;
    if (devicePaths && value[0] == '/') return value;
    if (strstr(value, "COM") != nullptr) return value;

    int number;
    if (ScanDecimal(value, &number)) {
        snprintf(portName, kPortNameSize, "COM%d", number);
    } else {
        snprintf(portName, kPortNameSize, "%s%s", "COM", value);
    }
    return portName;
}
