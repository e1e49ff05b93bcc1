// End-to-end cases of network port names that cannot be opened: no server
// is needed, and every build of the tool must fail them the same way.
#pragma once

#include <vector>

#include "../e2e/Cases.h"

std::vector<E2ECase> UnopenableNetworkCases();
