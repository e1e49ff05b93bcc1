// libFuzzer target: any bytes as an image file's contents, through the hex
// decoder (whole, in random chunks, and through ReadImageFile) and the
// record check, each compared with a plain reference written here.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "loader/Image.h"

namespace {

typedef std::vector<unsigned char> Bytes;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "image fuzz: %s\n", what);
    abort();
}

void Expect(bool ok, const char* what) {
    if (!ok) Fail(what);
}

bool RefSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int RefDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Every item the text holds, with no limit on the count: skip white space,
// then one or two hex digits make a byte; anything else ends the image.
Bytes ReferenceDecode(const uint8_t* text, size_t size) {
    Bytes out;
    size_t i = 0;
    for (;;) {
        while (i < size && RefSpace(text[i])) ++i;
        if (i == size || RefDigit(text[i]) < 0) return out;
        int value = RefDigit(text[i++]);
        if (i < size && RefDigit(text[i]) >= 0) value = value * 16 + RefDigit(text[i++]);
        out.push_back(static_cast<unsigned char>(value));
    }
}

// The record division found by jumping from record start to record start.
struct Walk {
    bool whole;
    RecordFault fault;
};

Walk ReferenceWalk(const unsigned char* image, size_t length) {
    Walk w = {true, {0, 0, 0}};
    size_t at = 0;
    while (at != length) {
        size_t needed = static_cast<size_t>(image[at]) * 16 + 5;
        if (at + needed > length) {
            w.whole = false;
            w.fault = {static_cast<unsigned>(at), static_cast<unsigned>(needed),
                       static_cast<unsigned>(length - at)};
            return w;
        }
        at += needed;
    }
    return w;
}

void CheckRecordsAgainstWalk(const unsigned char* image, size_t length) {
    RecordFault fault = {0xdead, 0xbeef, 0xcafe};
    bool whole = CheckRecords(image, length, &fault);
    Walk w = ReferenceWalk(image, length);
    Expect(whole == w.whole, "record check verdict differs from the re-walk");
    if (!whole) {
        Expect(fault.offset == w.fault.offset, "fault offset differs");
        Expect(fault.needed == w.fault.needed, "fault length differs");
        Expect(fault.remain == w.fault.remain, "fault remainder differs");
    }
}

// What the decoder must leave for `capacity`: the first `capacity` items,
// and the overflow mark when there are more.
void ExpectDecoded(const Bytes& reference, size_t capacity, const HexDecoder& d, const unsigned char* image,
                   const char* how) {
    size_t want = reference.size() < capacity ? reference.size() : capacity;
    if (d.length > capacity) Fail(how);
    if (d.length != want) Fail(how);
    if (d.overflow != (reference.size() > capacity)) Fail(how);
    if (want > 0 && memcmp(image, reference.data(), want) != 0) Fail(how);
}

// A small generator for chunk sizes, seeded by the input so a crash repeats.
struct Rng {
    uint64_t state;
    unsigned Next(unsigned bound) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<unsigned>((state >> 33) % bound);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes reference = ReferenceDecode(data, size);

    // The tool's capacity, and a small one derived from the input so that the
    // overflow path is reached by small inputs too. The buffers are exactly
    // `capacity` bytes on the heap, so one byte too many is an ASan report.
    const size_t smallCapacity = size == 0 ? 0 : data[0] % 64;
    for (size_t capacity : {kImageCapacity, smallCapacity}) {
        unsigned char* image = new unsigned char[capacity];
        HexDecoder d;
        FeedHex(&d, data, size, image, capacity);
        FinishHex(&d, image, capacity);
        ExpectDecoded(reference, capacity, d, image, "whole feed differs from the reference");

        // Random chunk sizes, empty chunks included, stopping where the tool
        // stops (FeedHex returns false); then more text must change nothing.
        uint64_t seed = size;
        for (size_t i = 0; i < size && i < 16; ++i) seed = seed * 131 + data[i];
        Rng rng = {seed};
        unsigned char* chunked = new unsigned char[capacity];
        HexDecoder c;
        size_t at = 0;
        bool going = true;
        while (at < size && going) {
            size_t n = rng.Next(9) == 0 ? 0 : 1 + rng.Next(rng.Next(4) == 0 ? 4096 : 7);
            if (n > size - at) n = size - at;
            going = FeedHex(&c, data + at, n, chunked, capacity);
            at += n;
        }
        if (!going) {
            HexDecoder before = c;
            Expect(!FeedHex(&c, data, size, chunked, capacity), "feed after the end accepted");
            Expect(c.length == before.length && c.overflow == before.overflow, "feed after the end stored");
        }
        FinishHex(&c, chunked, capacity);
        ExpectDecoded(reference, capacity, c, chunked, "chunked feed differs from the reference");
        FinishHex(&c, chunked, capacity);
        Expect(c.length == d.length, "a second finish stored a byte");
        delete[] chunked;

        CheckRecordsAgainstWalk(image, d.length);
        delete[] image;
    }

    // The file path the tool takes, with its 64 KiB reads.
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file != nullptr) {
        Bytes image(kImageCapacity);
        size_t length = 12345678;
        ImageRead r = ReadImageFile(file, image.data(), image.size(), &length);
        fclose(file);
        bool tooLarge = reference.size() > kImageCapacity;
        Expect(r == (tooLarge ? ImageRead::kTooLarge : ImageRead::kOk), "file read verdict differs");
        Expect(length <= kImageCapacity, "more than the capacity stored");
        Expect(length == (tooLarge ? kImageCapacity : reference.size()), "file read length differs");
        Expect(length == 0 || memcmp(image.data(), reference.data(), length) == 0, "file read bytes differ");
    }

    // The record check on the raw bytes, as if they were the decoded image.
    unsigned char* raw = new unsigned char[size == 0 ? 1 : size];
    if (size > 0) memcpy(raw, data, size);
    CheckRecordsAgainstWalk(raw, size);
    delete[] raw;
    return 0;
}
