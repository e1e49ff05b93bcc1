// tessan: reprograms a target's flash over a serial line. The driver: the
// command line, the image file, the port, the loader dialogue, and the three
// ways the tool ends (early, failure, success), each after one pause.
#include <cstdio>

#include "../loader/Handshake.h"
#include "../loader/Image.h"
#include "../loader/Transfer.h"
#include "../serial/ComPort.h"
#include "CommandLine.h"
#include "Console.h"
#include "ImageFile.h"
#include "Texts.h"

namespace {

const int kBaudRate = 115200;
const int kTimeoutMs = 500;

// Before the image file is open and the port exists.
int EarlyExit() {
    PauseBeforeExit();
    return -1;
}

// The failing step has printed its message. The port, if any, is closed by
// the caller's ComPort going out of scope after this returns: last.
int FailureExit(FILE* file) {
    fclose(file);
    PauseBeforeExit();
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    puts(kBanner);

    CommandLine line;
    if (argc <= 1 || !ScanArguments(argc, argv, &line) || line.fileName == nullptr) {
        puts(kUsage);
        return EarlyExit();
    }

    FILE* file = fopen(line.fileName, "rb");
    if (file == nullptr) {
        printf(kFileNotFound, line.fileName);
        return EarlyExit();
    }

    static unsigned char imageBuffer[kImageCapacity];
    size_t imageLength = 0;
    if (!LoadImage(file, line.fileName, imageBuffer, &imageLength)) return FailureExit(file);

    ComPort port;
    char portName[kPortNameSize] = {};
    const char* name = DerivePortName(line.comValue, portName, kDevicePaths);

    if (!port.Open(name, kBaudRate, kTimeoutMs)) {
        printf("Error: %s in use or does not exist.\n", name);
        // A network port says why, on one indented line of its own.
        if (port.OpenFailure()[0] != '\0') printf("  %s\n", port.OpenFailure());
        return FailureExit(file);
    }
    printf("%s opened.\n", name);

    if (!StartLoader(port, name)) return FailureExit(file);
    const ProgressDisplay display = OutputIsTerminal() ? ProgressDisplay::kTerminal : ProgressDisplay::kLog;
    if (!TransferImage(port, imageBuffer, imageLength, display)) return FailureExit(file);

    fclose(file);
    puts("Target updated successfully.");
    PauseBeforeExit();
    return 0;
}
