// The console: unbuffered standard streams, and the pause before every exit.
#pragma once

// Makes the three standard streams unbuffered, so every character reaches
// the console at once, and (on POSIX) keeps a closed pipe on standard output
// from killing the tool in the middle of a transfer.
void PrepareConsole();

// Whether standard output is a terminal that a person watches (a console on
// Windows), rather than a file or a pipe that a program reads.
bool OutputIsTerminal();

// Waits for one key before the tool ends. On Windows the command
// interpreter's "pause" does it. On POSIX the tool prints the same kind of
// prompt and waits for one keystroke on a terminal (no Enter, no echo, the
// terminal's mode restored afterwards, also on Ctrl-C), or one byte or the
// end of input otherwise, so a script with input from /dev/null never waits.
void PauseBeforeExit();
