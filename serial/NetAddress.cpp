// Taking a network port's name apart.
#include "NetAddress.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Case-insensitive: URL schemes are, and a user may well type RFC2217://.
bool StartsWithScheme(const char* name, const char* scheme, const char** rest) {
    size_t i = 0;
    for (; scheme[i] != '\0'; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    if (strncmp(name + i, "://", 3) != 0) return false;
    *rest = name + i + 3;
    return true;
}

}  // namespace

bool ParseNetAddress(const char* name, NetAddress* address) {
    const char* p = nullptr;
    if (StartsWithScheme(name, "rfc2217", &p)) {
        address->scheme = NetScheme::kRfc2217;
    } else if (StartsWithScheme(name, "socket", &p)) {
        address->scheme = NetScheme::kSocket;
    } else {
        return false;
    }

    // The host: up to the last ':' outside brackets.
    const char* hostStart = p;
    const char* hostEnd;
    if (*p == '[') {
        hostStart = ++p;
        while (IsHex(*p) || *p == ':' || *p == '.') ++p;
        if (*p != ']' || p == hostStart) return false;
        hostEnd = p++;
    } else {
        while (IsAlpha(*p) || IsDigit(*p) || *p == '-' || *p == '.' || *p == '_') ++p;
        hostEnd = p;
        if (hostEnd == hostStart) return false;
    }
    size_t hostLength = static_cast<size_t>(hostEnd - hostStart);
    if (hostLength >= sizeof address->host) return false;
    memcpy(address->host, hostStart, hostLength);
    address->host[hostLength] = '\0';

    if (*p++ != ':' || !IsDigit(*p)) return false;
    unsigned long port = 0;
    while (IsDigit(*p)) {
        port = port * 10 + static_cast<unsigned long>(*p++ - '0');
        if (port > 65535) return false;
    }
    if (*p != '\0' || port == 0) return false;
    // Back to text without leading zeros: at most five digits.
    snprintf(address->port, sizeof address->port, "%lu", port);
    return true;
}
