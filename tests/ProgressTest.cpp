// The progress line shown before each record.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "loader/Transfer.h"

namespace {
std::string Line(unsigned position, unsigned length, char spinner) {
    char out[kProgressLineSize];
    size_t n = ProgressLine(out, position, length, spinner);
    return std::string(out, n);
}

std::string Reference(unsigned position, unsigned length, char spinner) {
    char out[128];
    snprintf(out, sizeof out, "\r                        \nTransferring.. %c %d%% done.", spinner,
             static_cast<int>(position * 100u / length));
    return out;
}
}  // namespace

TEST(ProgressLine, MatchesTheFormattedText) {
    EXPECT_EQ(Line(0, 63, '-'), "\r                        \nTransferring.. - 0% done.");
    EXPECT_EQ(Line(21, 63, '\\'), "\r                        \nTransferring.. \\ 33% done.");
    EXPECT_EQ(Line(42, 63, '|'), "\r                        \nTransferring.. | 66% done.");
    // Every percentage of the largest image, against printf's rendering.
    for (unsigned position = 0; position < 131072; position += 97) {
        ASSERT_EQ(Line(position, 131072, '/'), Reference(position, 131072, '/')) << position;
    }
    EXPECT_EQ(Line(131071, 131072, '-'), Reference(131071, 131072, '-'));
}

// On a terminal the line is redrawn in place: the first drawing starts below
// the greeting's echo, and each later one covers exactly what would still
// show of the longer text before it.
TEST(ProgressLine, RedrawnOnATerminalCoversTheLastText) {
    auto redrawn = [](const std::string& text, size_t shown) {
        char out[kProgressLineSize];
        return std::string(out, RedrawnLine(out, text.data(), text.size(), shown));
    };
    EXPECT_EQ(redrawn("Transferring.. - 0% done.", 0), "\nTransferring.. - 0% done.");
    EXPECT_EQ(redrawn("Transferring.. - 9% done.", 25), "\rTransferring.. - 9% done.");
    EXPECT_EQ(redrawn("Transferring.. \\ 10% done.", 25), "\rTransferring.. \\ 10% done.");
    EXPECT_EQ(redrawn("Transferring.. 100% done.", 26), "\rTransferring.. 100% done. ");
    EXPECT_EQ(redrawn("ab", 26), "\rab" + std::string(24, ' '));
}
