// The Windows build of tessan under Wine, as a Runner for the end-to-end
// cases, and the checks that a Wine run can go ahead at all.
#pragma once

#include <string>

#include "../e2e/Harness.h"

// COM number of test slot 0; slot k uses COM(kFirstCom + k). Numbers below
// it are left alone, and the prefix hands no real device any number up to
// kLastCom.
const int kFirstCom = 5;
const int kLastCom = 255;

// Runs build/win/tessan.exe (or the exe the build was given) through wine
// in the tests' prefix; the sim of slot k publishes its pty as
// $WINEPREFIX/dosdevices/com(5+k), which Wine opens as COM(5+k).
const Runner& WineRunner();

std::string WinePrefix();
std::string WindowsToolPath();

// Why a case cannot run under Wine here, or "" when it can: the exe is
// missing (then the case is skipped), or the session's wineserver that the
// ctest fixture starts is not running (then it fails).
std::string MissingWindowsBuild();
std::string WineSessionProblem();

// In a test: skips without a Windows build; fails when the session is not up.
#define REQUIRE_WINE_SESSION()                                          \
    do {                                                                \
        std::string missing = MissingWindowsBuild();                    \
        if (!missing.empty()) GTEST_SKIP() << missing;                  \
        std::string problem = WineSessionProblem();                     \
        ASSERT_TRUE(problem.empty()) << problem;                        \
    } while (0)
