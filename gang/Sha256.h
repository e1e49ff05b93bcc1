// SHA-256 (FIPS 180-4) of a byte string, written out as sha256sum prints it:
// 64 lower-case hex digits. The report names the image by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    void Add(const void* data, size_t size);
    // The digest as 64 lower-case hex digits; ends the computation.
    std::string HexDigest();

private:
    void Block(const unsigned char* block);
    uint32_t state_[8];
    unsigned char buffer_[64];
    size_t buffered_ = 0;
    uint64_t totalBytes_ = 0;
};

// The digest of a whole file as hex, or an empty string when it cannot be read.
std::string Sha256OfFile(const char* path);
