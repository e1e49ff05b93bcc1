// The record transfer and its progress display.
#include "Transfer.h"

#include <cstdio>
#include <cstring>

#include "../serial/ComPort.h"
#include "Image.h"

size_t ProgressLine(char* out, unsigned position, unsigned length, char spinner) {
    // Built by hand: this runs once per record on the transfer's hot path,
    // and standard output is unbuffered, so the line goes out in one write.
    static const char kHead[] = "\r                        \nTransferring.. ";
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

bool TransferImage(ComPort& port, const unsigned char* image, size_t length) {
    unsigned position = 0;
    size_t spin = 0;
    char line[kProgressLineSize];
    while (position < length) {
        unsigned recordLength = RecordLength(image[position]);
        fwrite(line, 1, ProgressLine(line, position, static_cast<unsigned>(length), kSpinner[spin]), stdout);
        spin = (spin + 1) % 8;
        fflush(stdout);

        // A short write is not fatal by itself: the target then answers with
        // an error or not at all, and the status decides.
        port.Write(image + position, recordLength);
        unsigned char status;
        if (port.Read(&status, 1) != 1) {
            puts("\nFailed: Target is not responding.");
            return false;
        }
        if (status != 0) {
            printf("\nError. Error code %d.\n", status);
            return false;
        }
        position += recordLength;
    }
    fputs("\rTransferring.. 100% done.  \n", stdout);
    return true;
}
