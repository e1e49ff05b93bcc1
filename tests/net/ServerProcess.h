// Serial servers as processes of the tests' own: started in a process
// group of their own with their output in a log, checked to listen on the
// ports they were given, and stopped with everything they started.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// A port nobody listens on at this moment: the kernel's pick for port 0.
// Another test may take it before the server binds it, so a start checks
// with Listens and tries again.
int FreePort();

// Whether process `pid` holds a socket listening on `port`.
bool Listens(pid_t pid, int port);

// Starts `argv` in a process group of its own, standard input from
// /dev/null, standard output and error appended to `log`, with this
// build's mark in its environment (which whatever it starts inherits).
// -1 on failure.
pid_t SpawnServer(const std::vector<std::string>& argv, const std::string& log);

// Waits up to 5 s for `pid` to listen on every port of `ports`; false
// when it ended or did not.
bool WaitListening(pid_t pid, const std::vector<int>& ports);

// Ends the process group `*pid` with `signal`, waits up to 3 s for its
// leader, then kills whatever is left of the group (SIGKILL), waits for
// it and sets *pid to -1. Harmless when *pid is -1.
void StopServerProcess(pid_t* pid, int signal);

// The processes still running (zombies aside) that carry this build's
// mark, one line each ("PID ARGS"); with `end`, each is killed as well.
// What the tests leave behind here keeps the machine busy after them.
std::vector<std::string> ServersLeftBehind(bool end);

// The processes (zombies aside) in process group `group`.
std::vector<pid_t> ProcessesInGroup(pid_t group);
inline int LiveProcessesInGroup(pid_t group) { return static_cast<int>(ProcessesInGroup(group).size()); }

// The path of the first of `candidates` that is an executable file, or "".
std::string FindProgram(const std::vector<std::string>& candidates);
