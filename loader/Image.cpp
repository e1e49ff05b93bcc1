// Decoding of the hexadecimal image file and the record check.
#include "Image.h"

namespace {

// Digit values, and 16 for white space, 17 for anything else, so the inner
// loop makes one table look-up per character.
const unsigned char kSpace = 16;
const unsigned char kOther = 17;

struct CharTable {
    unsigned char value[256];
    CharTable() {
        for (int c = 0; c < 256; ++c) value[c] = kOther;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<unsigned char>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<unsigned char>(c - 'A' + 10);
        // The white space scanf skips: blank, tab, line feed, vertical tab,
        // form feed, carriage return.
        for (int c = '\t'; c <= '\r'; ++c) value[c] = kSpace;
        value[static_cast<unsigned char>(' ')] = kSpace;
    }
};

const CharTable kTable;

// Stores one decoded item; false (and decoding ends) when it does not fit.
bool Store(HexDecoder* d, unsigned value, unsigned char* image, size_t capacity) {
    if (d->length >= capacity) {
        d->overflow = true;
        d->done = true;
        return false;
    }
    image[d->length++] = static_cast<unsigned char>(value);
    return true;
}

}  // namespace

bool FeedHex(HexDecoder* d, const unsigned char* text, size_t size, unsigned char* image,
             size_t capacity) {
    if (d->done) return false;
    size_t i = 0;
    if (d->pending >= 0 && i < size) {
        // The chunk before ended after one digit of an item.
        unsigned v = kTable.value[text[i]];
        unsigned first = static_cast<unsigned>(d->pending);
        d->pending = -1;
        if (v < 16) {
            ++i;
            if (!Store(d, first * 16 + v, image, capacity)) return false;
        } else if (!Store(d, first, image, capacity)) {
            return false;
        }
    }
    while (i < size) {
        unsigned v = kTable.value[text[i]];
        if (v == kSpace) {
            ++i;
            continue;
        }
        if (v == kOther) {
            d->done = true;
            return false;
        }
        if (i + 1 == size) {
            d->pending = static_cast<int>(v);
            return true;
        }
        unsigned w = kTable.value[text[i + 1]];
        if (w < 16) {
            i += 2;
            if (!Store(d, v * 16 + w, image, capacity)) return false;
        } else {
            i += 1;
            if (!Store(d, v, image, capacity)) return false;
        }
    }
    return true;
}

void FinishHex(HexDecoder* d, unsigned char* image, size_t capacity) {
    if (!d->done && d->pending >= 0) Store(d, static_cast<unsigned>(d->pending), image, capacity);
    d->pending = -1;
    d->done = true;
}

ImageRead ReadImageFile(FILE* file, unsigned char* image, size_t capacity, size_t* length) {
    HexDecoder decoder;
    unsigned char chunk[65536];
    bool more = true;
    while (more) {
        size_t n = fread(chunk, 1, sizeof chunk, file);
        if (n < sizeof chunk && ferror(file)) {
            *length = decoder.length;
            return ImageRead::kReadError;
        }
        more = FeedHex(&decoder, chunk, n, image, capacity) && n == sizeof chunk;
    }
    FinishHex(&decoder, image, capacity);
    *length = decoder.length;
    return decoder.overflow ? ImageRead::kTooLarge : ImageRead::kOk;
}

bool CheckRecords(const unsigned char* image, size_t length, RecordFault* fault) {
    size_t position = 0;
    while (position < length) {
        size_t needed = RecordLength(image[position]);
        if (needed > length - position) {
            fault->offset = static_cast<unsigned>(position);
            fault->needed = static_cast<unsigned>(needed);
            fault->remain = static_cast<unsigned>(length - position);
            return false;
        }
        position += needed;
    }
    return true;
}
