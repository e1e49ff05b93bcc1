// Runs one end-to-end case with a runner and checks everything it did.
#pragma once

#include "Cases.h"
#include "Harness.h"

// Runs `c` with `runner` in a fresh folder; `slot` keeps parallel runs apart.
// Reports failures through GoogleTest; skips the case when the runner
// cannot model it.
void RunCase(const Runner& runner, const E2ECase& c, int slot);
