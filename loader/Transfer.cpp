// The record transfer and its progress display.
#include "Transfer.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "../serial/ComPort.h"
#include "Image.h"

namespace {

const char kDoneText[] = "Transferring.. 100% done.";

// "Transferring.. <spinner> <percent>% done.", built by hand: this runs once
// per record on the transfer's hot path.
size_t ProgressText(char* out, unsigned position, unsigned length, char spinner) {
    static const char kHead[] = "Transferring.. ";
    size_t n = sizeof kHead - 1;
    memcpy(out, kHead, n);
    out[n++] = spinner;
    out[n++] = ' ';
    unsigned percent = static_cast<unsigned>(static_cast<unsigned long long>(position) * 100u / length);
    char digits[12];
    size_t d = 0;
    do {
        digits[d++] = static_cast<char>('0' + percent % 10);
        percent /= 10;
    } while (percent != 0);
    while (d > 0) out[n++] = digits[--d];
    static const char kTail[] = "% done.";
    memcpy(out + n, kTail, sizeof kTail - 1);
    return n + sizeof kTail - 1;
}

// The terminal's progress line. A console can take far longer to draw a
// line than a record takes on the wire (Windows' console host above all),
// so a new state is drawn only once kInterval has passed since the last
// drawing; the state not drawn yet is kept and drawn before any message.
struct TerminalLine {
    typedef std::chrono::steady_clock Clock;
    static constexpr std::chrono::milliseconds kInterval{50};

    size_t shownWidth = 0;  // what the line shows now; 0 before the first drawing
    Clock::time_point drawn;
    bool pending = false;   // a state newer than the line
    unsigned position = 0, length = 0;
    char spinner = 0;

    void Draw(const char* text, size_t width) {
        char out[kProgressLineSize];
        fwrite(out, 1, RedrawnLine(out, text, width, shownWidth), stdout);
        fflush(stdout);
        shownWidth = width;
        drawn = Clock::now();
        pending = false;
    }
    void DrawPending() {
        if (!pending) return;
        char text[kProgressLineSize];
        Draw(text, ProgressText(text, position, length, spinner));
    }
    void Update(unsigned newPosition, unsigned newLength, char newSpinner) {
        position = newPosition;
        length = newLength;
        spinner = newSpinner;
        pending = true;
        if (shownWidth == 0 || Clock::now() - drawn >= kInterval) DrawPending();
    }
    void Finish() {
        Draw(kDoneText, sizeof kDoneText - 1);
        fputs("\n", stdout);
    }
};

}  // namespace

size_t ProgressLine(char* out, unsigned position, unsigned length, char spinner) {
    static const char kHead[] = "\r                        \n";
    memcpy(out, kHead, sizeof kHead - 1);
    return sizeof kHead - 1 + ProgressText(out + sizeof kHead - 1, position, length, spinner);
}

size_t RedrawnLine(char* out, const char* text, size_t width, size_t shownWidth) {
    size_t n = 0;
    out[n++] = shownWidth == 0 ? '\n' : '\r';
    memcpy(out + n, text, width);
    n += width;
    for (size_t column = width; column < shownWidth; ++column) out[n++] = ' ';
    return n;
}

bool TransferImage(ComPort& port, const unsigned char* image, size_t length, ProgressDisplay display) {
    const bool log = display == ProgressDisplay::kLog;
    unsigned position = 0;
    size_t spin = 0;
    char line[kProgressLineSize];
    TerminalLine terminal;
    while (position < length) {
        unsigned recordLength = RecordLength(image[position]);
        if (log) {
            // Standard output is unbuffered, so the line goes out in one write.
            fwrite(line, 1, ProgressLine(line, position, static_cast<unsigned>(length), kSpinner[spin]), stdout);
            fflush(stdout);
        } else {
            terminal.Update(position, static_cast<unsigned>(length), kSpinner[spin]);
        }
        spin = (spin + 1) % 8;

        // A short write is not fatal by itself: the target then answers with
        // an error or not at all, and the status decides.
        port.Write(image + position, recordLength);
        unsigned char status;
        if (port.Read(&status, 1) != 1) {
            terminal.DrawPending();
            puts("\nFailed: Target is not responding.");
            return false;
        }
        if (status != 0) {
            terminal.DrawPending();
            printf("\nError. Error code %d.\n", status);
            return false;
        }
        position += recordLength;
    }
    if (log) {
        fputs("\rTransferring.. 100% done.  \n", stdout);
    } else {
        terminal.Finish();
    }
    return true;
}
