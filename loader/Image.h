// The image file: hexadecimal text decoded into bytes, and the check that
// the bytes divide into whole records.
//
// Format: items of one or two hexadecimal digits (either case), each after
// any amount of white space; a run of digits without white space is cut into
// pairs (0A1B2C gives 0A 1B 2C, 0A1B2 gives 0A 1B 02). Decoding ends at the
// end of the file or at the first item that does not begin with a hex digit;
// whatever follows is ignored. A sign or "0x" is not a hex digit.
//
// Records: the image is records laid end to end from offset 0. A record's
// first byte is its block count N; the record, that byte included, is
// 16 * N + 5 bytes long (5 to 4,085 bytes).
#pragma once

#include <cstddef>
#include <cstdio>

// The largest image the tool takes.
const size_t kImageCapacity = 131072;

// Decoding state carried from one chunk of the file to the next.
struct HexDecoder {
    size_t length = 0;     // bytes stored so far
    int pending = -1;      // a first digit waiting for a possible second one
    bool done = false;     // decoding has ended; later input is ignored
    bool overflow = false; // a byte did not fit in the capacity
};

// Decodes the next `size` bytes of the file's text into image[0..capacity).
// Returns false once decoding has ended (more text would be ignored).
bool FeedHex(HexDecoder* decoder, const unsigned char* text, size_t size,
             unsigned char* image, size_t capacity);

// Ends decoding at the end of the file (a last single digit is an item).
void FinishHex(HexDecoder* decoder, unsigned char* image, size_t capacity);

enum class ImageRead {
    kOk,        // decoded; *length bytes stored
    kTooLarge,  // more bytes than the capacity; the first `capacity` stored
    kReadError, // the file could not be read to its end or to the first non-hex item
};

// Reads and decodes a whole image file (from its current position).
ImageRead ReadImageFile(FILE* file, unsigned char* image, size_t capacity, size_t* length);

// Where the division into records goes wrong: the record at `offset`
// needs `needed` bytes but only `remain` are left.
struct RecordFault {
    unsigned offset;
    unsigned needed;
    unsigned remain;
};

// Length of the record that starts with block count `blockCount`.
inline unsigned RecordLength(unsigned char blockCount) { return 16u * blockCount + 5u; }

// True when image[0..length) is whole records; otherwise fills *fault with
// the record that runs past the end.
bool CheckRecords(const unsigned char* image, size_t length, RecordFault* fault);
