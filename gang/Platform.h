// What tessan-gang needs of the system, behind one narrow interface with one
// source per platform (PlatformPosix.cpp, PlatformWin32.cpp): the tessan
// children and their pipes, the wait for events, Ctrl-C and the console's
// close, the terminal, the ports a pattern names and the USB device behind
// one, the program's own folder, device identity, and files written so that
// no line is lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "UsbInfo.h"

// One running tessan, its standard output (and error) on a pipe.
struct ChildProcess {
#ifdef _WIN32
    void* process = nullptr;
    void* pipe = nullptr;
#else
    int pid = -1;
    int fd = -1;
#endif
    bool eof = false;     // the pipe has closed
    bool ended = false;   // the process has been waited for
};

// Once, before anything else: the console's and the signals' set-up, the
// children's container (Windows: a job object that ends them with the gang).
bool PreparePlatform();

// Starts `program` with `args` (argv[1..]), standard input from the null
// device, standard output and error into a pipe that the gang reads.
bool StartChild(const std::string& program, const std::vector<std::string>& args, ChildProcess* child);

// Appends to *out what the child has written so far, without blocking; sets
// child->eof once the pipe is closed and read out.
void ReadChild(ChildProcess* child, std::string* out);

// Whether the child has ended (then it is waited for, and *exitCode is its
// status, -1 after a signal or a forced end). Does not block.
bool ChildEnded(ChildProcess* child, int* exitCode);

// Asks the child (and what it started) to end at once; `hard` forces it.
void EndChild(ChildProcess* child, bool hard);

// Waits until a child's pipe closes or the child ends, an interruption
// comes, or `timeoutMs` passes. A child's writing does not end the wait: the
// gang reads the pipes at its own pace (each holds far more than a child
// writes between two looks).
void WaitForEvents(const std::vector<ChildProcess*>& children, int timeoutMs);

// Whether Ctrl-C (or SIGTERM, SIGHUP, the console's close) has come.
bool Interrupted();
// Tells a console close handler waiting on the gang that it has finished.
void FinishedAfterInterrupt();

// Whether standard output is a terminal (a console) that can draw the
// table in place, and its width in columns and height in lines (0: unknown).
bool OutputIsTerminal();
int TerminalWidth();
int TerminalHeight();
// Writes text to standard output as it stands.
void WriteOut(const std::string& text);
// Draws `lines` over the `previous` lines that the last drawing left just
// above the cursor, clearing what remains of them; the cursor ends below.
void DrawLines(const std::vector<std::string>& lines, size_t previous);

// The ports that match `pattern` and are present now, sorted.
std::vector<std::string> ListPorts(const std::string& pattern);

// The USB device behind local port `port` (as tessan derives the name),
// from what the system says of its devices; the device itself is never
// opened. False for a network port, a UART, a pseudo-terminal, or where the
// system does not say.
bool UsbIdentity(const std::string& port, UsbInfo* info);

// What identifies the device behind port name `name` (as tessan derives
// it), so that two names for one device compare equal.
std::string DeviceKey(const std::string& name);

// The tessan beside this program: "<own folder>/tessan" (".exe" on Windows).
std::string ToolBeside(const char* argv0);
bool IsProgram(const std::string& path);

// Makes the folder if it does not exist yet; false when it cannot be there.
bool MakeFolder(const std::string& path);

// A file that lines are appended to, each in one write, then flushed to the
// disk. Write returns false (with the system's reason in *why) on failure.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    bool Open(const std::string& path, std::string* why);
    bool Write(const std::string& line, std::string* why);

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};
