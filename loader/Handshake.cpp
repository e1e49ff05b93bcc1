// The loader start handshake.
#include "Handshake.h"

#include <cstdio>
#include <cstring>

#include "../serial/ComPort.h"
#include "Delay.h"

namespace {

const unsigned char kTrigger[] = {'B', 'O', 'O', 'T', '\r', '\n'};
const int kBaudRate = 115200;
const int kTimeoutMs = 500;

void PrintReply(const Reply& reply) {
    printf("%u: %s", static_cast<unsigned>(reply.count), reinterpret_cast<const char*>(reply.text));
}

}  // namespace

void ReadReply(ComPort& port, Reply* reply) {
    memset(reply->text, 0, sizeof reply->text);
    reply->count = 0;
    reply->last = 0;
    unsigned char byte;
    while (port.Read(&byte, 1) == 1) {
        printf("%02X ", byte);
        if (reply->count < Reply::kAreaSize - 1) reply->text[reply->count] = byte;
        ++reply->count;
        reply->last = byte;
    }
}

bool StartLoader(ComPort& port, const char* portName) {
    Reply reply;

    // Whatever the target answers to the trigger is only shown; a target
    // that resets at once may answer nothing.
    port.Write(kTrigger, sizeof kTrigger);
    Delay(100);
    ReadReply(port, &reply);
    if (reply.count != 0) PrintReply(reply);

    port.Close();
    printf("%s closed.\n", portName);

    // The target resets into its loader, and its port may vanish meanwhile
    // (a USB device re-enumerating), so keep trying until it is back.
    Delay(500);
    while (!port.Open(portName, kBaudRate, kTimeoutMs)) {
        Delay(200);
        fputs(".", stdout);
    }
    printf("%s opened.\n", portName);

    ReadReply(port, &reply);
    if (reply.count == 0) {
        puts("\nLoader start failed.");
        return false;
    }
    PrintReply(reply);
    if (reply.last != '+') {
        puts("\nLoader start failed.");
        return false;
    }
    return true;
}
