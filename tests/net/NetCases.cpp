// Network port names that cannot be opened: malformed, an unknown scheme,
// a host that does not resolve, a port where nothing listens. The name is
// printed whole (never cut to 19 characters), at once.
#include "NetCases.h"

#include "../e2e/CaseText.h"

std::vector<E2ECase> UnopenableNetworkCases() {
    std::vector<E2ECase> cases;
    const struct {
        const char* name;
        const char* value;
    } kValues[] = {
        {"NoHostNorPort", "rfc2217://"},
        {"NoPort", "rfc2217://host"},
        {"PortOutOfRange", "rfc2217://host:99999"},
        {"UnknownScheme", "ftp://127.0.0.1:1"},
        {"UnknownHost", "rfc2217://no-such-host.invalid:4000"},
        {"NoServerOnThePort", "rfc2217://127.0.0.1:1"},
        {"NoServerOnTheRawPort", "socket://127.0.0.1:1"},
        {"NoServerOnIpv6Loopback", "socket://[::1]:1"},
    };
    for (const auto& v : kValues) cases.push_back(PortThatDoesNotOpen(v.name, v.value));
    return cases;
}

E2ECase PortThatDoesNotOpen(const std::string& name, const std::string& value, double maxSeconds) {
    E2ECase c;
    c.name = name;
    c.withSim = false;
    c.image = Hex(Records({0}));
    c.toolArgs = {"fw.txt", "-COM", value};
    c.expected = Head() + "Error: " + value + " in use or does not exist.\n{PAUSE}";
    c.maxSeconds = maxSeconds;
    return c;
}
