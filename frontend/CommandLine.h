// The command line: the argument scan and the derivation of the port name
// from the -COM value. Pure functions, so tests can call them directly.
#pragma once

#include <cstddef>

// What the scan found. Either pointer may be null (nothing given).
struct CommandLine {
    const char* fileName;
    const char* comValue;
};

// Scans argv[1..argc-1] from left to right. "-COM" followed by another
// argument makes that argument the -COM value (a later pair replaces an
// earlier one); every other argument, a trailing "-COM" included, is the
// file name. Returns false when a second file name turns up (the caller
// prints the usage text).
bool ScanArguments(int argc, const char* const* argv, CommandLine* line);

// Reads a decimal integer the way sscanf("%d") does: leading white space,
// an optional sign, then digits; anything after the digits is ignored.
// Returns false when no digit follows. Values beyond the range of int are
// clamped to INT_MIN or INT_MAX instead of overflowing.
bool ScanDecimal(const char* text, int* value);

// The field that receives a formed port name, terminator included.
const size_t kPortNameSize = 20;

// Gives the name to open the port under, from the -COM value (null: none
// given, which means "1"). The value itself when it contains "://" (a
// network port's URL), when it contains "COM" or, with
// devicePaths set (POSIX), when it begins with "/"; otherwise "COM%d" of the
// number it starts with, or "COM" followed by the value when it starts with
// no number. A formed name is written to portName, cut to 19 characters,
// and portName is returned.
const char* DerivePortName(const char* comValue, char (&portName)[kPortNameSize], bool devicePaths);

// Whether this build treats a value beginning with "/" as a device path.
#ifdef _WIN32
const bool kDevicePaths = false;
#else
const bool kDevicePaths = true;
#endif
