// Console set-up and the pause before exit, for Windows and POSIX.
#include "Console.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32

#include <windows.h>

void PrepareConsole() {
    setvbuf(stdin, NULL, _IONBF, 0);
    setvbuf(stdout, NULL, _IONBF, 0);
    setvbuf(stderr, NULL, _IONBF, 0);
}

// Only a console has a mode; a file or a pipe does not.
bool OutputIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void PauseBeforeExit() { (void)system("pause"); }

#else

#include <cerrno>
#include <csignal>

#include <termios.h>
#include <unistd.h>

void PrepareConsole() {
    setvbuf(stdin, NULL, _IONBF, 0);
    setvbuf(stdout, NULL, _IONBF, 0);
    setvbuf(stderr, NULL, _IONBF, 0);
    // Output to a reader that has gone away must not end the tool while it
    // is flashing a board; the write just fails.
    signal(SIGPIPE, SIG_IGN);
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

namespace {

// A signal handler cannot be given arguments, so the terminal's mode to
// restore has to live here while the pause waits.
struct termios gSavedMode;

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreAndStop(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &gSavedMode);
    signal(sig, SIG_DFL);
    raise(sig);
}

void ReadOneByte() {
    unsigned char c;
    while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace

void PauseBeforeExit() {
    fputs("Press any key to continue . . . ", stdout);
    struct termios keyMode;
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &gSavedMode) == 0) {
        struct sigaction stop = {};
        stop.sa_handler = RestoreAndStop;
        sigemptyset(&stop.sa_mask);
        struct sigaction previous[sizeof kStopSignals / sizeof kStopSignals[0]];
        for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
            sigaction(kStopSignals[i], &stop, &previous[i]);
        }
        // One keystroke, without Enter and without echo; Ctrl-C still
        // raises SIGINT, which restores the mode before the tool stops.
        keyMode = gSavedMode;
        keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keyMode.c_cc[VMIN] = 1;
        keyMode.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &keyMode);
        ReadOneByte();
        tcsetattr(STDIN_FILENO, TCSANOW, &gSavedMode);
        for (size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
            sigaction(kStopSignals[i], &previous[i], nullptr);
        }
    } else {
        ReadOneByte();
    }
    fputs("\n", stdout);
}

#endif
