// Builders of the texts and images the end-to-end cases expect.
#pragma once

#include <string>
#include <vector>

// Functions rather than constants: the case list is built while tests are
// registered, before other files' constants may be initialized.

// The banner with its blank line, and the usage text with its line end.
const std::string& Head();
const std::string& Usage();
// The default target's trigger answer ("OK\r\n") up to the close, and the
// whole handshake up to its greeting "LOADER v1.0+".
const std::string& Trigger();
const std::string& Handshake();
// The ends of a run: success, silence, and a loader that did not start.
const std::string& Done();
const std::string& NotResponding();
const std::string& LoaderFailed();

// What the console shows of bytes received in the handshake: each byte as
// two hex digits and a blank, then the count and the text up to any zero
// (at most 1,023 bytes of it).
std::string Echo(const std::string& bytes);

// An image of records with the given block counts; every byte after a
// block count differs from its neighbours, so a shifted or lost byte shows.
std::string Records(const std::vector<int>& blockCounts);

// The image as hex text, 16 pairs a line.
std::string Hex(const std::string& bytes);

// The progress lines shown for the first `sent` records of an image made
// of records with the given block counts.
std::string Progress(const std::vector<int>& blockCounts, size_t sent);
