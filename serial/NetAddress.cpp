// Taking a network port's name apart, its query included, and the reason
// texts of a network port that did not open.
#include "NetAddress.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int HexValue(char c) { return IsDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : c - 'A' + 10; }

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

bool Refuse(NetAddress* address, const char* problem) {
    snprintf(address->problem, sizeof address->problem, "%s", problem);
    return false;
}

// A parameter's name as the user wrote it, for a problem phrase; long ones
// are cut, so the phrase stays one short line.
bool RefuseParameter(NetAddress* address, const char* format, const char* name, size_t length) {
    const int shown = static_cast<int>(length > 24 ? 24 : length);
    snprintf(address->problem, sizeof address->problem, format, shown, name, length > 24 ? "..." : "");
    return false;
}

// The query's four parameters, in a table so each is handled alike.
struct Parameter {
    const char* name;
    char* value;
};

// Decodes one value (up to `end`) into `out`: %XX is the byte XX, every
// other character itself. False, with the problem said, for a '%' without
// two hexadecimal digits, a zero byte, an empty or too long value.
bool DecodeValue(const char* p, const char* end, const Parameter& parameter, NetAddress* address) {
    const size_t nameLength = strlen(parameter.name);
    if (p == end) return RefuseParameter(address, "parameter '%.*s%s' has no value", parameter.name, nameLength);
    size_t n = 0;
    while (p < end) {
        char c = *p++;
        if (c == '%') {
            if (end - p < 2 || !IsHex(p[0]) || !IsHex(p[1])) {
                return RefuseParameter(address, "a '%%' in the value of '%.*s%s' is not followed by two hex digits",
                                       parameter.name, nameLength);
            }
            c = static_cast<char>(HexValue(p[0]) * 16 + HexValue(p[1]));
            p += 2;
            if (c == '\0') return RefuseParameter(address, "the value of '%.*s%s' holds %%00", parameter.name, nameLength);
        }
        if (n + 1 >= sizeof address->ca) {
            return RefuseParameter(address, "the value of '%.*s%s' is too long", parameter.name, nameLength);
        }
        parameter.value[n++] = c;
    }
    parameter.value[n] = '\0';
    return true;
}

// "ca=...&cert=...&key=...&name=...", any order, each at most once.
bool ParseQuery(const char* p, NetAddress* address) {
    const Parameter parameters[] = {
        {"ca", address->ca}, {"cert", address->cert}, {"key", address->key}, {"name", address->name}};
    bool given[4] = {false, false, false, false};
    if (*p == '\0') return Refuse(address, "the query after '?' is empty");
    for (;;) {
        const char* end = strchr(p, '&');
        if (end == nullptr) end = p + strlen(p);
        const char* equals = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(end - p)));
        const char* nameEnd = equals != nullptr ? equals : end;
        const size_t nameLength = static_cast<size_t>(nameEnd - p);
        if (nameLength == 0) return Refuse(address, "the query holds an empty parameter");
        size_t which = 0;
        while (which < 4 && !(strlen(parameters[which].name) == nameLength &&
                              memcmp(parameters[which].name, p, nameLength) == 0)) {
            ++which;
        }
        if (which == 4) return RefuseParameter(address, "unknown parameter '%.*s%s'", p, nameLength);
        if (given[which]) return RefuseParameter(address, "parameter '%.*s%s' given twice", p, nameLength);
        if (equals == nullptr) return RefuseParameter(address, "parameter '%.*s%s' has no value", p, nameLength);
        given[which] = true;
        if (!DecodeValue(equals + 1, end, parameters[which], address)) return false;
        if (*end == '\0') break;
        p = end + 1;
    }
    if (given[1] && !given[2]) return Refuse(address, "cert without key");
    if (given[2] && !given[1]) return Refuse(address, "key without cert");
    return true;
}

}  // namespace

bool ParseNetAddress(const char* name, NetAddress* address) {
    address->problem[0] = '\0';
    address->ca[0] = address->cert[0] = address->key[0] = address->name[0] = '\0';
    const char* p = nullptr;
    address->tls = false;
    if (StartsWithScheme(name, "rfc2217", &p)) {
        address->scheme = NetScheme::kRfc2217;
    } else if (StartsWithScheme(name, "socket", &p)) {
        address->scheme = NetScheme::kSocket;
    } else if (StartsWithScheme(name, "rfc2217+tls", &p)) {
        address->scheme = NetScheme::kRfc2217;
        address->tls = true;
    } else if (StartsWithScheme(name, "socket+tls", &p)) {
        address->scheme = NetScheme::kSocket;
        address->tls = true;
    } else {
        return Refuse(address, "the scheme is not rfc2217, socket, rfc2217+tls or socket+tls");
    }

    // The host: up to the last ':' outside brackets.
    const char* hostStart = p;
    const char* hostEnd;
    if (*p == '[') {
        hostStart = ++p;
        while (IsHex(*p) || *p == ':' || *p == '.') ++p;
        if (*p != ']' || p == hostStart) return Refuse(address, "the host is not valid");
        hostEnd = p++;
    } else {
        while (IsAlpha(*p) || IsDigit(*p) || *p == '-' || *p == '.' || *p == '_') ++p;
        hostEnd = p;
        if (hostEnd == hostStart) return Refuse(address, "the host is missing or not valid");
    }
    size_t hostLength = static_cast<size_t>(hostEnd - hostStart);
    if (hostLength >= sizeof address->host) return Refuse(address, "the host is too long");
    memcpy(address->host, hostStart, hostLength);
    address->host[hostLength] = '\0';

    if (*p++ != ':' || !IsDigit(*p)) return Refuse(address, "the port is missing or not valid");
    unsigned long port = 0;
    while (IsDigit(*p)) {
        port = port * 10 + static_cast<unsigned long>(*p++ - '0');
        if (port > 65535) return Refuse(address, "the port is not a number from 1 to 65535");
    }
    if (port == 0) return Refuse(address, "the port is not a number from 1 to 65535");
    // Back to text without leading zeros: at most five digits.
    snprintf(address->port, sizeof address->port, "%lu", port);

    if (*p == '?' && !address->tls) return Refuse(address, "a query is for rfc2217+tls:// and socket+tls:// only");
    if (*p == '?' && !ParseQuery(p + 1, address)) return false;
    if (*p != '?' && *p != '\0') return Refuse(address, "unexpected text after the port");
    if (address->tls && address->name[0] == '\0') memcpy(address->name, address->host, hostLength + 1);
    return true;
}

char* NetFailureText(NetFailure failure, const char* detail, char* out, size_t size) {
    if (size == 0) return out;
    if (detail == nullptr) detail = "";
    const char* format = "";
    switch (failure) {
        case NetFailure::kNone: format = ""; break;
        case NetFailure::kUrl: format = "The URL is not valid: %s."; break;
        case NetFailure::kRefused: format = "The server refused the connection."; break;
        case NetFailure::kNameNotFound: format = "The name %s was not found."; break;
        case NetFailure::kUnreachable: format = "The server cannot be reached."; break;
        case NetFailure::kNoAnswer: format = "The server did not answer within 2 s."; break;
        case NetFailure::kNegotiationRefused: format = "The server refused the RFC 2217 negotiation."; break;
        case NetFailure::kClosed: format = "The server closed the connection."; break;
        case NetFailure::kFileUnreadable: format = "Cannot read the file '%s'."; break;
        case NetFailure::kFileUnparsable: format = "The file '%s' holds no usable certificate or key."; break;
        case NetFailure::kKeyMismatch: format = "The key in '%s' does not belong to the certificate."; break;
        case NetFailure::kUntrusted:
            format = "The server's certificate is not signed by the trusted authorities.";
            break;
        case NetFailure::kExpired: format = "The server's certificate is expired or not yet valid."; break;
        case NetFailure::kWrongName: format = "The server's certificate is not for %s."; break;
        case NetFailure::kHandshakeClosed:
            format = "The server ended the TLS handshake (the client certificate was probably missing or refused).";
            break;
        case NetFailure::kClosedAfterHandshake:
            format = "The server closed the connection after the TLS handshake (the client certificate was "
                     "probably refused).";
            break;
        case NetFailure::kNoTls: format = "The server does not speak TLS."; break;
        case NetFailure::kTlsFailed: format = "The TLS handshake with the server failed."; break;
    }
    // Every format takes at most the one detail.
    if (strstr(format, "%s") != nullptr) {
        snprintf(out, size, format, detail);
    } else {
        snprintf(out, size, "%s", format);
    }
    return out;
}
