// The record transfer: each record sent with one write, then one status
// byte awaited, with a progress line and a spinner.
#pragma once

#include <cstddef>

class ComPort;

// The spinner's eight positions, one per record.
const char kSpinner[] = "--\\\\||//";

// How progress reaches standard output.
enum class ProgressDisplay {
    // Every record's line in full, one after the other, as scripts, logs and
    // test rigs read it: see ProgressLine.
    kLog,
    // A terminal: one line below the greeting's echo, redrawn in place with
    // "\r" at most every 50 ms (see RedrawnLine), so a person sees a single
    // line whose spinner turns, and a slow console never holds up a record.
    kTerminal,
};

// Writes the log form of the progress line shown before sending the record
// at `position` of an image of `length` bytes: "\r", 24 blanks, "\n", then
// "Transferring.. <spinner> <percent>% done." with the percentage of the
// image already sent, truncated. Returns the number of characters written
// (no terminator is written). `out` must hold at least kProgressLineSize.
const size_t kProgressLineSize = 64;
size_t ProgressLine(char* out, unsigned position, unsigned length, char spinner);

// Writes the terminal form of a progress text of `width` characters: "\r"
// and the text, then as many blanks as it takes to cover what would still
// show of the `shownWidth` characters drawn before. With shownWidth 0
// nothing has been drawn yet, and the line starts with "\n" instead, below
// the greeting's echo (which ends without a line end). Uses no escape
// sequences, so every terminal and Windows console shows it alike. `out`
// must hold at least kProgressLineSize; width and shownWidth are below 32.
size_t RedrawnLine(char* out, const char* text, size_t width, size_t shownWidth);

// Sends image[0..length) record by record. Prints the progress as `display`
// says and, when done, the final 100% line. On a missing or non-zero status
// prints the failure message (after the failing record's progress) and
// returns false; no further record is sent then. The image must consist of
// whole records (see CheckRecords).
bool TransferImage(ComPort& port, const unsigned char* image, size_t length, ProgressDisplay display);
