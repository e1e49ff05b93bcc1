// Network port names that cannot be opened: malformed, an unknown scheme,
// a query that is wrong, a host that does not resolve, a port where nothing
// listens. The name is printed whole (never cut to 19 characters), at once,
// with the reason on the line after it.
#include "NetCases.h"

#include "../e2e/CaseText.h"

std::vector<E2ECase> UnopenableNetworkCases() {
    std::vector<E2ECase> cases;
    const struct {
        const char* name;
        const char* value;
        const char* reason;
    } kValues[] = {
        {"NoHostNorPort", "rfc2217://", "The URL is not valid: the host is missing or not valid."},
        {"NoPort", "rfc2217://host", "The URL is not valid: the port is missing or not valid."},
        {"PortOutOfRange", "rfc2217://host:99999", "The URL is not valid: the port is not a number from 1 to 65535."},
        {"UnknownScheme", "ftp://127.0.0.1:1",
         "The URL is not valid: the scheme is not rfc2217, socket, rfc2217+tls or socket+tls."},
        {"UnknownHost", "rfc2217://no-such-host.invalid:4000", "The name no-such-host.invalid was not found."},
        {"NoServerOnThePort", "rfc2217://127.0.0.1:1", "The server refused the connection."},
        {"NoServerOnTheRawPort", "socket://127.0.0.1:1", "The server refused the connection."},
        {"NoServerOnIpv6Loopback", "socket://[::1]:1", "The server refused the connection."},
        {"NoServerOnTheTlsPort", "rfc2217+tls://127.0.0.1:1", "The server refused the connection."},
        // The query: refused before any connection, each with what is wrong.
        {"UnknownParameter", "socket+tls://127.0.0.1:1?ca=ca.pem&verify=no",
         "The URL is not valid: unknown parameter 'verify'."},
        {"UnreadableCaFile", "socket+tls://127.0.0.1:1?ca=/no/such/ca%2Epem", "Cannot read the file '/no/such/ca.pem'."},
    };
    for (const auto& v : kValues) cases.push_back(PortThatDoesNotOpen(v.name, v.value, v.reason));
    return cases;
}

E2ECase PortThatDoesNotOpen(const std::string& name, const std::string& value, const std::string& reason,
                            double maxSeconds) {
    E2ECase c;
    c.name = name;
    c.withSim = false;
    c.image = Hex(Records({0}));
    c.toolArgs = {"fw.txt", "-COM", value};
    c.expected = Head() + "Error: " + value + " in use or does not exist.\n  " + reason + "\n{PAUSE}";
    c.maxSeconds = maxSeconds;
    return c;
}
