// tessan-gang's system parts on Windows: CreateProcess with a pipe, a job
// object that ends every child with the gang, the console control handler,
// virtual-terminal drawing or the console API, COM ports from the system's
// device list, and the USB device behind a COM port from SetupAPI.
#include "Platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include <windows.h>
// After windows.h, which they build on.
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include "../common/PortNames.h"

namespace {

HANDLE gJob = nullptr;
HANDLE gInterrupt = nullptr;  // set by the control handler
HANDLE gFinished = nullptr;   // set once the gang has ended its children
volatile LONG gInterrupted = 0;
bool gVirtualTerminal = false;

BOOL WINAPI OnControl(DWORD type) {
    InterlockedExchange(&gInterrupted, 1);
    SetEvent(gInterrupt);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process once this returns: give the gang the
        // time to end its children and write its report first.
        WaitForSingleObject(gFinished, 4000);
    }
    return TRUE;
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// One argument quoted for CreateProcess the way the C runtime splits it.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
        } else if (c == '"') {
            out.append(slashes * 2 + 1, '\\');
            slashes = 0;
        } else {
            out.append(slashes, '\\');
            slashes = 0;
        }
        if (c != '\\') out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}

// A glob of '*' and '?', without regard to case, as Windows names go.
bool Matches(const char* pattern, const char* name) {
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*') return Matches(pattern + 1, name) || (*name != '\0' && Matches(pattern, name + 1));
    if (*name == '\0') return false;
    const char p = *pattern >= 'a' && *pattern <= 'z' ? static_cast<char>(*pattern - 32) : *pattern;
    const char n = *name >= 'a' && *name <= 'z' ? static_cast<char>(*name - 32) : *name;
    return (p == '?' || p == n) && Matches(pattern + 1, name + 1);
}

}  // namespace

bool PreparePlatform() {
    gInterrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gFinished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gJob = CreateJobObjectA(nullptr, nullptr);
    if (gInterrupt == nullptr || gFinished == nullptr || gJob == nullptr) return false;
    // The children end when the gang does, however it ends.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(gJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    SetConsoleCtrlHandler(OnControl, TRUE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    // Wine's console takes the virtual-terminal flag but passes no escape
    // sequence on to the terminal it runs in; its console API works.
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (!wine && GetConsoleMode(out, &mode)) {
        gVirtualTerminal = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }
    return true;
}

bool StartChild(const std::string& program, const std::vector<std::string>& args, ChildProcess* child) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    // Room for far more than a child writes between two of the gang's looks
    // (the default is a few KiB).
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 1 << 20)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

    std::string line = Quote(program);
    for (const std::string& a : args) line += " " + Quote(a);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nul;
    start.hStdOutput = writeEnd;
    start.hStdError = writeEnd;
    PROCESS_INFORMATION info = {};
    std::vector<char> mutableLine(line.begin(), line.end());
    mutableLine.push_back('\0');
    // Suspended until it is in the job, so nothing it starts escapes it.
    const BOOL made = CreateProcessA(program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                     nullptr, nullptr, &start, &info);
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!made) {
        CloseHandle(readEnd);
        return false;
    }
    AssignProcessToJobObject(gJob, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    child->process = info.hProcess;
    child->pipe = readEnd;
    child->eof = false;
    child->ended = false;
    return true;
}

void ReadChild(ChildProcess* child, std::string* out) {
    if (child->pipe == nullptr) return;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(child->pipe, nullptr, 0, nullptr, &available, nullptr)) {
            CloseHandle(child->pipe);
            child->pipe = nullptr;
            child->eof = true;
            return;
        }
        if (available == 0) return;
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(child->pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) ||
            got == 0) {
            CloseHandle(child->pipe);
            child->pipe = nullptr;
            child->eof = true;
            return;
        }
        out->append(buffer, got);
    }
}

bool ChildEnded(ChildProcess* child, int* exitCode) {
    if (child->ended) return true;
    if (WaitForSingleObject(child->process, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(child->process, &code);
    CloseHandle(child->process);
    child->process = nullptr;
    child->ended = true;
    // tessan ends with -1 on failure; a forced end leaves the code given.
    *exitCode = code == 0 ? 0 : code == 0xFFFFFFFFu ? 255 : -1;
    return true;
}

void EndChild(ChildProcess* child, bool) {
    if (child->ended || child->process == nullptr) return;
    TerminateProcess(child->process, 1);
}

void WaitForEvents(const std::vector<ChildProcess*>& children, int timeoutMs) {
    // The children's ends and the interruption; the pipes are read at the
    // gang's own pace (an anonymous pipe cannot be waited for anyway).
    std::vector<HANDLE> handles = {gInterrupt};
    for (ChildProcess* c : children) {
        if (c->process != nullptr && handles.size() < MAXIMUM_WAIT_OBJECTS) handles.push_back(c->process);
    }
    // More children than one wait takes: their ends are seen at the next look.
    if (children.size() + 1 > MAXIMUM_WAIT_OBJECTS && timeoutMs > 20) timeoutMs = 20;
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, static_cast<DWORD>(timeoutMs));
}

bool Interrupted() { return InterlockedCompareExchange(&gInterrupted, 0, 0) != 0; }

void FinishedAfterInterrupt() {
    if (gFinished != nullptr) SetEvent(gFinished);
}

bool OutputIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalWidth() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int TerminalHeight() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

void WriteOut(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

void DrawLines(const std::vector<std::string>& lines, size_t previous) {
    if (gVirtualTerminal) {
        std::string text;
        if (previous > 0) text += "\r\x1b[" + std::to_string(previous) + "A";
        for (const std::string& line : lines) text += line + "\x1b[K\n";
        text += "\x1b[J";
        WriteOut(text);
        return;
    }
    // The console API: back to where the last drawing began (it may have
    // scrolled up since), each row written and the rest of it blanked.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info)) return;
    COORD at = {0, static_cast<SHORT>(info.dwCursorPosition.Y - static_cast<SHORT>(previous))};
    if (at.Y < 0) at.Y = 0;
    SetConsoleCursorPosition(out, at);
    const size_t rows = std::max(lines.size(), previous);
    for (size_t i = 0; i < rows; ++i) {
        if (i < lines.size()) WriteOut(lines[i]);
        if (GetConsoleScreenBufferInfo(out, &info)) {
            DWORD written;
            FillConsoleOutputCharacterA(out, ' ', static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X),
                                        info.dwCursorPosition, &written);
        }
        if (i < lines.size()) WriteOut("\n");
        else if (GetConsoleScreenBufferInfo(out, &info) && info.dwCursorPosition.Y + 1 < info.dwSize.Y) {
            COORD next = {0, static_cast<SHORT>(info.dwCursorPosition.Y + 1)};
            SetConsoleCursorPosition(out, next);
        }
    }
    // Rows of an earlier, longer table are blank now; the cursor goes back
    // below the table itself.
    if (rows > lines.size() && GetConsoleScreenBufferInfo(out, &info)) {
        COORD below = {0, static_cast<SHORT>(info.dwCursorPosition.Y - static_cast<SHORT>(rows - lines.size()))};
        SetConsoleCursorPosition(out, below);
    }
}

std::vector<std::string> ListPorts(const std::string& pattern) {
    std::vector<std::string> ports;
    std::vector<char> names(65536);
    DWORD got = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (got == 0) {
        // The registry's list of the system's serial ports instead.
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            for (DWORD i = 0;; ++i) {
                char valueName[256], data[256];
                DWORD nameSize = sizeof valueName, dataSize = sizeof data, type = 0;
                if (RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                  &dataSize) != ERROR_SUCCESS) {
                    break;
                }
                if (type == REG_SZ && dataSize > 0) {
                    data[dataSize < sizeof data ? dataSize : sizeof data - 1] = '\0';
                    if (Matches(pattern.c_str(), data)) ports.push_back(data);
                }
            }
            RegCloseKey(key);
        }
    } else {
        for (const char* name = names.data(); *name != '\0'; name += strlen(name) + 1) {
            const bool com = _strnicmp(name, "COM", 3) == 0 && name[3] >= '1' && name[3] <= '9' &&
                             strspn(name + 3, "0123456789") == strlen(name + 3);
            // A name without a device behind it (Wine lists such) is no port.
            char target[1024];
            if (com && Matches(pattern.c_str(), name) && QueryDosDeviceA(name, target, sizeof target) != 0 &&
                target[0] != '\0') {
                ports.push_back(name);
            }
        }
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

namespace {

// The device interface class of serial ports (GUID_DEVINTERFACE_COMPORT) and
// the description the device itself gives (DEVPKEY_Device_BusReportedDeviceDesc).
const GUID kComPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
const DEVPROPKEY kBusReportedDescription = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

std::optional<std::string> Utf8(const WCHAR* text) {
    char out[1024];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    if (n <= 1) return std::nullopt;
    return std::string(out);
}

// A text property of a device (the first string of a list), or nothing.
std::optional<std::string> DeviceText(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property) {
    WCHAR buffer[512] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - 2 * sizeof(WCHAR), nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return std::nullopt;
    }
    return Utf8(buffer);
}

std::optional<std::string> BusDescription(HDEVINFO set, SP_DEVINFO_DATA* data) {
    WCHAR buffer[512] = {};
    DEVPROPTYPE type = 0;
    if (!SetupDiGetDevicePropertyW(set, data, &kBusReportedDescription, &type, reinterpret_cast<BYTE*>(buffer),
                                   sizeof buffer - sizeof(WCHAR), nullptr, 0) ||
        type != DEVPROP_TYPE_STRING) {
        return std::nullopt;
    }
    return Utf8(buffer);
}

// The four hexadecimal digits after `key` ("VID_") in a hardware id.
std::optional<std::string> IdAfter(const std::string& id, const char* key) {
    const size_t at = Upper(id).find(key);
    const size_t digits = at == std::string::npos ? at : at + strlen(key);
    if (digits == std::string::npos || digits + 4 > id.size() ||
        strspn(id.substr(digits, 4).c_str(), "0123456789abcdefABCDEF") != 4) {
        return std::nullopt;
    }
    return Lower(id.substr(digits, 4));
}

// The USB device of instance id `id` ("USB\VID_0403&PID_6001\A1B2C3").
bool DescribeUsb(const std::string& id, UsbInfo* info) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    const bool opened = SetupDiOpenDeviceInfoA(set, id.c_str(), nullptr, 0, &data) != 0;
    *info = UsbInfo();
    info->vid = IdAfter(id, "VID_");
    info->pid = IdAfter(id, "PID_");
    // The instance id ends in the device's serial number where it has one;
    // the system makes up one with '&' in it otherwise.
    const std::string last = id.substr(id.rfind('\\') + 1);
    if (!last.empty() && last.find('&') == std::string::npos) info->serial = last;
    if (opened) {
        info->manufacturer = DeviceText(set, &data, SPDRP_MFG);
        info->product = BusDescription(set, &data);
        if (!info->product) info->product = DeviceText(set, &data, SPDRP_DEVICEDESC);
        info->location = DeviceText(set, &data, SPDRP_LOCATION_PATHS);
        if (!info->location) info->location = DeviceText(set, &data, SPDRP_LOCATION_INFORMATION);
    }
    SetupDiDestroyDeviceInfoList(set);
    return info->vid && info->pid;
}

}  // namespace

bool UsbIdentity(const std::string& port, UsbInfo* info) {
    std::string name = Upper(port);
    if (name.compare(0, 4, "\\\\.\\") == 0) name.erase(0, 4);
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0 || name.find_first_not_of("0123456789", 3) != std::string::npos) {
        return false;
    }
    // The serial port device whose "PortName" is this COM port.
    HDEVINFO ports = SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (ports == INVALID_HANDLE_VALUE) return false;
    DEVINST node = 0;
    bool found = false;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(ports, i, &data); ++i) {
        HKEY key = SetupDiOpenDevRegKey(ports, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char value[64] = {};
        DWORD size = sizeof value - 1, type = 0;
        if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
            type == REG_SZ && Upper(value) == name) {
            found = true;
            node = data.DevInst;
        }
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(ports);
    // Up from the port to the USB device itself (not one interface of a
    // composite device, "&MI_"): the port may be it, or a child of it.
    for (int level = 0; found && level < 4; ++level) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDA(node, id, sizeof id, 0) != CR_SUCCESS) return false;
        const std::string upper = Upper(id);
        if (upper.compare(0, 4, "USB\\") == 0 && upper.find("VID_") != std::string::npos &&
            upper.find("&MI_") == std::string::npos) {
            return DescribeUsb(id, info);
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return false;
        node = parent;
    }
    return false;
}

std::string DeviceKey(const std::string& name) {
    if (IsNetworkName(name.c_str())) return "net:" + Lower(name);
    std::string key = Upper(name);
    if (key.compare(0, 4, "\\\\.\\") == 0) key.erase(0, 4);
    return "dev:" + key;
}

std::string ToolBeside(const char*) {
    char self[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string own(self, n < sizeof self ? n : 0);
    const size_t slash = own.find_last_of("\\/");
    return (slash == std::string::npos ? std::string(".") : own.substr(0, slash)) + "\\tessan.exe";
}

bool IsProgram(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool MakeFolder(const std::string& path) {
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

std::string SystemMessage(DWORD code) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                   nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s.empty() ? "system error " + std::to_string(code) : s;
}

}  // namespace

AppendFile::~AppendFile() {
    if (handle_ != nullptr) CloseHandle(handle_);
}

bool AppendFile::Open(const std::string& path, std::string* why) {
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = SystemMessage(GetLastError());
        return false;
    }
    handle_ = h;
    return true;
}

bool AppendFile::Write(const std::string& line, std::string* why) {
    DWORD written = 0;
    if (!WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size()) {
        *why = SystemMessage(GetLastError());
        return false;
    }
    if (!FlushFileBuffers(handle_)) {
        const DWORD code = GetLastError();
        // A device (NUL, a console) has nothing to flush.
        if (code != ERROR_INVALID_HANDLE && code != ERROR_INVALID_FUNCTION) {
            *why = SystemMessage(code);
            return false;
        }
    }
    return true;
}
