// The record transfer: each record sent with one write, then one status
// byte awaited, with a progress line and a spinner.
#pragma once

#include <cstddef>

class ComPort;

// The spinner's eight positions, one per record.
const char kSpinner[] = "--\\\\||//";

// Writes the progress line shown before sending the record at `position`
// of an image of `length` bytes: "\r", 24 blanks, "\n", then
// "Transferring.. <spinner> <percent>% done." with the percentage of the
// image already sent, truncated. Returns the number of characters written
// (no terminator is written). `out` must hold at least kProgressLineSize.
const size_t kProgressLineSize = 64;
size_t ProgressLine(char* out, unsigned position, unsigned length, char spinner);

// Sends image[0..length) record by record. Prints the progress lines and,
// when done, the final 100% line. On a missing or non-zero status prints the
// failure message and returns false; no further record is sent then. The
// image must consist of whole records (see CheckRecords).
bool TransferImage(ComPort& port, const unsigned char* image, size_t length);
