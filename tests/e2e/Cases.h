// The end-to-end cases: one list, run against every build of the tool.
#pragma once

#include <string>
#include <vector>

struct E2ECase {
    std::string name;
    bool withSim = true;
    std::vector<std::string> simArgs;
    bool writeImage = true;            // write `image` to fw.txt in the test's folder
    std::string image;                 // the image file's contents
    std::vector<std::string> toolArgs = {"fw.txt", "-COM", "{PORT}"};
    // The whole standard output; "{PORT}" is the port's name, "{PAUSE}" the
    // pause prompt, "{DOTS}" a row of one or more dots.
    std::string expected;
    int status = 255;
    std::string received;              // every byte the target must have received after the re-open
    bool receivedIsPrefix = false;     // the target may have received more than `received`
    int opens = -1;                    // how often the target must have seen the port opened (-1: any)
    bool nothingReceived = false;      // the target may receive no byte at all, on any connection
    double maxSeconds = 10;            // the tool must end within this
    double minSeconds = 0;
    std::string wineSkip;              // why this case cannot run under Wine (empty: it can)
    std::string socketSkip;            // why it cannot run over a socket:// or TLS port (empty: it can)
};

// Every case: the basic ones (Cases.cpp) and the target's and host's
// faults (FaultCases.cpp).
std::vector<E2ECase> AllCases();
std::vector<E2ECase> BasicCases();
std::vector<E2ECase> FaultCases();
