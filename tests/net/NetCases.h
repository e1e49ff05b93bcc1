// End-to-end cases of network port names that cannot be opened: no server
// is needed, and every build of the tool must fail them the same way.
#pragma once

#include <vector>

#include "../e2e/Cases.h"

std::vector<E2ECase> UnopenableNetworkCases();

// A run with the -COM value `value` that must end in "Error: <value> in use
// or does not exist." and the indented line of `reason` within
// `maxSeconds`, with no target behind it.
E2ECase PortThatDoesNotOpen(const std::string& name, const std::string& value, const std::string& reason,
                            double maxSeconds = 2);
