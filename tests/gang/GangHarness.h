// What the tessan-gang tests share: the example images, the boards' port
// names in a test's folder, tessan-sim targets, and the processes a test
// left running.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

const char kSmall[] = TESSAN_SOURCE_DIR "/examples/small.txt";
const char kLarge[] = TESSAN_SOURCE_DIR "/examples/large.txt";

// Board n's port (the sim's link) in the test's folder `dir`.
inline std::string B(int n, const std::string& dir) { return dir + "/b" + std::to_string(n); }

// The pids of processes whose command line holds `text`, and whose first
// argument ends in `program` when that is given.
std::vector<pid_t> ProcessesWith(const std::string& text, const std::string& program = "");

// A tessan-sim target: its log and the bytes it received are files of the
// test's folder tagged with `tag`.
struct Sim {
    pid_t pid = -1;
    int status = -2;  // its exit status once stopped
    std::string log, rx;
};

// Starts a sim at `port` with `options` and waits until it says it listens
// (a failed expectation when it does not).
Sim StartSim(const std::string& dir, const std::string& port, const std::vector<std::string>& options,
             const std::string& tag);
