// ComPort on Windows: the Win32 communications API (CreateFileA on the
// device namespace, SetupComm, SetCommState, SetCommTimeouts, ReadFile,
// WriteFile, PurgeComm, CloseHandle). Network ports go to NetLink.
#include "ComPort.h"

#include <windows.h>

#include "NetAddress.h"

#include <cstdio>
#include <cstring>

const ComPort::Handle ComPort::kClosed = INVALID_HANDLE_VALUE;

ComPort::ComPort() : handle(kClosed), name() { NetInit(&net); }

ComPort::~ComPort() { Close(); }

bool ComPort::Open(const char* portName, int baudRate, int timeoutMs) {
    if (handle != kClosed) return false;
    net.failure[0] = '\0';
    if (strlen(portName) > kMaxNameLength) {
        if (IsNetworkName(portName)) {
            NetFailureText(NetFailure::kUrl, "it is longer than 255 characters", net.failure, sizeof net.failure);
        }
        return false;
    }
    memcpy(name, portName, strlen(portName) + 1);

    if (IsNetworkName(name)) {
        if (!NetOpen(&net, name, baudRate, timeoutMs)) return false;
        // A SOCKET is a kernel handle too; kept here, it marks the port open.
        handle = reinterpret_cast<HANDLE>(net.socket);
        return true;
    }

    // The "\\.\" device namespace reaches every port; without it COM10 and
    // above cannot be opened.
    char path[4 + sizeof name];
    snprintf(path, sizeof path, "%s%s", "\\\\.\\", name);

    // Share mode 0: the port is this process's alone while it is open.
    handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE) return false;

    if (!SetupComm(handle, 1024, 1024)) {
        Close();
        return false;
    }

    // Every field zero but these: 8N1, binary, DTR and RTS asserted, and no
    // flow control, parity checking, error replacement or null stripping.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &dcb)) {
        Close();
        return false;
    }

    // A read of n bytes ends when they are all there, after T * n + T ms in
    // all, or after a gap of more than T ms between two bytes. Writes have
    // no time-out.
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = static_cast<DWORD>(timeoutMs);
    timeouts.ReadTotalTimeoutMultiplier = static_cast<DWORD>(timeoutMs);
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutMs);
    if (!SetCommTimeouts(handle, &timeouts)) {
        Close();
        return false;
    }
    return true;
}

void ComPort::Close() {
    if (net.socket != kNoSocket) {
        NetClose(&net);
    } else if (handle != kClosed) {
        CloseHandle(handle);
    }
    handle = kClosed;
}

size_t ComPort::Read(unsigned char* buffer, size_t count) {
    if (handle == kClosed) return 0;
    if (net.socket != kNoSocket) return NetRead(&net, buffer, count);
    DWORD received = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(count), &received, NULL)) return 0;
    return received;
}

bool ComPort::Write(const unsigned char* buffer, size_t count) {
    if (handle == kClosed) return false;
    if (net.socket != kNoSocket) return NetWrite(&net, buffer, count);
    DWORD written = 0;
    if (!WriteFile(handle, buffer, static_cast<DWORD>(count), &written, NULL)) return false;
    return written == count;
}

const char* ComPort::OpenFailure() const { return net.failure; }

bool ComPort::Purge() {
    if (handle == kClosed) return false;
    if (net.socket != kNoSocket) return NetPurge(&net);
    return PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}
