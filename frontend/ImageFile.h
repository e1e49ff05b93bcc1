// The image file's check before any port is touched, shared by tessan and
// tessan-gang so both report a bad file in the same words.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Printed with the file name when the image file does not open.
const char kFileNotFound[] = "Error: File '%s' not found.\n";

// Reads and checks the whole image from `file` into `image` (kImageCapacity
// bytes), so a bad file never puts a target into its loader. Prints the
// reason (or, given `message`, puts it there instead) and returns false when
// the file is not a usable image.
bool LoadImage(FILE* file, const char* fileName, unsigned char* image, size_t* length,
               std::string* message = nullptr);
