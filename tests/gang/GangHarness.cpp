// What the tessan-gang tests share.
#include "GangHarness.h"

#include <cstdlib>

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/Harness.h"

std::vector<pid_t> ProcessesWith(const std::string& text, const std::string& program) {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        const std::string cmdline = Slurp("/proc/" + std::string(entry->d_name) + "/cmdline");
        const std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
        const bool named = program.empty() || (argv0.size() >= program.size() &&
                                               argv0.compare(argv0.size() - program.size(), program.size(), program) == 0);
        if (named && cmdline.find(text) != std::string::npos) pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

Sim StartSim(const std::string& dir, const std::string& port, const std::vector<std::string>& options,
             const std::string& tag) {
    Sim sim;
    sim.log = dir + "/sim" + tag + ".log";
    sim.rx = dir + "/rx" + tag + ".bin";
    std::vector<std::string> argv = {SimPath(), port, "--log", sim.log, "--rx", sim.rx, "--timeout", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    const std::string out = dir + "/sim" + tag + ".out";
    sim.pid = StartProcess(argv, dir, out, dir + "/sim" + tag + ".err");
    EXPECT_TRUE(WaitForText(out, "\n", 10)) << "sim " << tag << " did not start";
    return sim;
}
