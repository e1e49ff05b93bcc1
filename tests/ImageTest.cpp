// Decoding of image files and the record check.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "loader/Image.h"
#include "TempDir.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Decode(const std::string& text, size_t capacity = kImageCapacity, bool* overflow = nullptr) {
    Bytes image(capacity);
    HexDecoder d;
    FeedHex(&d, reinterpret_cast<const unsigned char*>(text.data()), text.size(), image.data(), capacity);
    FinishHex(&d, image.data(), capacity);
    if (overflow) *overflow = d.overflow;
    image.resize(d.length);
    return image;
}

// The same text fed in pieces of `piece` bytes must decode identically.
Bytes DecodeInPieces(const std::string& text, size_t piece) {
    Bytes image(kImageCapacity);
    HexDecoder d;
    for (size_t i = 0; i < text.size(); i += piece) {
        size_t n = std::min(piece, text.size() - i);
        if (!FeedHex(&d, reinterpret_cast<const unsigned char*>(text.data()) + i, n, image.data(),
                     image.size()))
            break;
    }
    FinishHex(&d, image.data(), image.size());
    image.resize(d.length);
    return image;
}

}  // namespace

TEST(HexDecoder, ItemsWhiteSpaceAndPairs) {
    EXPECT_EQ(Decode("0a 1B\n2c"), (Bytes{0x0A, 0x1B, 0x2C}));
    EXPECT_EQ(Decode("0A1B2C"), (Bytes{0x0A, 0x1B, 0x2C}));
    EXPECT_EQ(Decode("0A1B2"), (Bytes{0x0A, 0x1B, 0x02}));
    EXPECT_EQ(Decode("  \t\r\n\v\f1 f\n"), (Bytes{0x01, 0x0F}));
    EXPECT_EQ(Decode("ff FF fF"), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Decode("1\n23"), (Bytes{0x01, 0x23}));
}

TEST(HexDecoder, StopsSilentlyAtTheFirstItemThatIsNotHex) {
    EXPECT_EQ(Decode("01 02 zz 03"), (Bytes{0x01, 0x02}));
    // A single digit ends its item; the next item starts at the letter.
    EXPECT_EQ(Decode("01 2g 03"), (Bytes{0x01, 0x02}));
    // Signs and prefixes that scanf would take are not hex digits here.
    EXPECT_EQ(Decode("01 +2 03"), (Bytes{0x01}));
    EXPECT_EQ(Decode("01 -2"), (Bytes{0x01}));
    EXPECT_EQ(Decode("0x12"), (Bytes{0x00}));
    EXPECT_EQ(Decode(std::string("12 \0 34", 7)), (Bytes{0x12}));
    EXPECT_TRUE(Decode("").empty());
    EXPECT_TRUE(Decode(" \n\n ").empty());
    EXPECT_TRUE(Decode("\x7f" "ELF\x02\x01").empty());
}

TEST(HexDecoder, ChunkBoundariesDoNotChangeTheResult) {
    const std::string text = "0A1B2 3\n4 56789abcDEF0 1 zz 77";
    const Bytes whole = Decode(text);
    EXPECT_EQ(whole, (Bytes{0x0A, 0x1B, 0x02, 0x03, 0x04, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x01}));
    for (size_t piece = 1; piece <= text.size(); ++piece) {
        EXPECT_EQ(DecodeInPieces(text, piece), whole) << "piece size " << piece;
    }
    EXPECT_EQ(DecodeInPieces("a", 1), (Bytes{0x0A}));
}

TEST(HexDecoder, NeverStoresPastTheCapacity) {
    bool overflow = false;
    Bytes four = Decode("01 02 03 04", 4, &overflow);
    EXPECT_EQ(four.size(), 4u);
    EXPECT_FALSE(overflow);
    Bytes five = Decode("01 02 03 04 05 06", 4, &overflow);
    EXPECT_EQ(five, (Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(overflow);
    // A trailing single digit that does not fit is an overflow as well.
    Decode("01020304 5", 4, &overflow);
    EXPECT_TRUE(overflow);
    // Text after the capacity that is not hex is ignored, as anywhere.
    Decode("01020304 zz", 4, &overflow);
    EXPECT_FALSE(overflow);
}

TEST(CheckRecords, WholeRecordsPass) {
    Bytes image(5 + 21 + 4085, 0xEE);
    image[0] = 0;
    image[5] = 1;
    image[26] = 255;
    RecordFault fault = {};
    EXPECT_TRUE(CheckRecords(image.data(), image.size(), &fault));
    EXPECT_TRUE(CheckRecords(image.data(), 0, &fault));
}

TEST(CheckRecords, ReportsTheRecordThatRunsPastTheEnd) {
    Bytes image = {0, 1, 2, 3, 4, 1, 9, 9};  // a 5-byte record, then one that needs 21
    RecordFault fault = {};
    ASSERT_FALSE(CheckRecords(image.data(), image.size(), &fault));
    EXPECT_EQ(fault.offset, 5u);
    EXPECT_EQ(fault.needed, 21u);
    EXPECT_EQ(fault.remain, 3u);
    Bytes big = {255};
    ASSERT_FALSE(CheckRecords(big.data(), big.size(), &fault));
    EXPECT_EQ(fault.offset, 0u);
    EXPECT_EQ(fault.needed, 4085u);
    EXPECT_EQ(fault.remain, 1u);
}

TEST(ReadImageFile, ReadsFilesLargerThanOneChunk) {
    TempDir dir;
    // 131,072 bytes as text with line breaks: more than one read chunk, and
    // a pair split across chunk ends somewhere.
    std::string text;
    for (size_t i = 0; i < kImageCapacity; ++i) {
        char item[4];
        snprintf(item, sizeof item, "%02x", static_cast<unsigned>(i * 7 % 256));
        text += item;
        text += (i % 16 == 15) ? "\n" : (i % 3 ? " " : "");
    }
    std::string path = dir.Write("full.txt", text);
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> image(kImageCapacity);
    size_t length = 0;
    EXPECT_EQ(ReadImageFile(f, image.data(), image.size(), &length), ImageRead::kOk);
    fclose(f);
    ASSERT_EQ(length, kImageCapacity);
    for (size_t i = 0; i < kImageCapacity; ++i) {
        ASSERT_EQ(image[i], static_cast<unsigned char>(i * 7 % 256)) << "at " << i;
    }

    path = dir.Write("over.txt", text + " 00");
    f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ReadImageFile(f, image.data(), image.size(), &length), ImageRead::kTooLarge);
    EXPECT_EQ(length, kImageCapacity);
    fclose(f);
}

TEST(ReadImageFile, ADirectoryIsAReadErrorNotAnEmptyImage) {
    TempDir dir;
    FILE* f = fopen(dir.path().c_str(), "rb");
    if (f == nullptr) GTEST_SKIP() << "this platform does not open directories as files";
    std::vector<unsigned char> image(16);
    size_t length = 99;
    EXPECT_EQ(ReadImageFile(f, image.data(), image.size(), &length), ImageRead::kReadError);
    fclose(f);
}
