// libFuzzer target: argument vectors built from the input, through the
// argument scan, the port-name derivation, the decimal scan, the POSIX
// device-path mapping and the network URL's query, each compared with a
// plain reference written here.
//
// Input: arguments separated by zero bytes. An argument "\x01" stands for
// "-COM" and "\x02" for the -COM value of the previous argument repeated
// many times, so option pairs and very long values come up often.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/CommandLine.h"
#include "serial/DevicePath.h"
#include "serial/NetAddress.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    fprintf(stderr, "command-line fuzz: %s: \"%s\"\n", what, detail.substr(0, 200).c_str());
    abort();
}

void Expect(bool ok, const char* what, const std::string& detail) {
    if (!ok) Fail(what, detail);
}

std::vector<std::string> Arguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0) {
            current += static_cast<char>(data[i]);
            continue;
        }
        if (current == "\x01") {
            current = "-COM";
        } else if (current == "\x02") {
            std::string base = args.empty() ? std::string("9") : args.back();
            current.clear();
            while (current.size() < 5000) current += base.empty() ? std::string("x") : base;
        }
        args.push_back(current);
        current.clear();
    }
    return args;
}

// The scan, stated another way: first pair every "-COM" with the argument
// after it; whatever is not part of a pair is a file name, and there may be
// one at most.
struct RefScan {
    bool ok;
    int file;  // argv index, -1: none
    int com;   // argv index, -1: none
};

RefScan ReferenceScan(const std::vector<const char*>& argv) {
    RefScan r = {true, -1, -1};
    int files = 0;
    size_t i = 1;
    while (i < argv.size()) {
        if (std::string(argv[i]) == "-COM" && i + 1 < argv.size()) {
            r.com = static_cast<int>(i + 1);
            i += 2;
            continue;
        }
        if (files++ == 0) r.file = static_cast<int>(i);
        ++i;
    }
    if (files > 1) r.ok = false;
    return r;
}

// sscanf("%d") with clamping, through strtol (base 10 takes the same white
// space, sign and digits in the C locale).
bool ReferenceDecimal(const char* text, int* value) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text) return false;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *value = static_cast<int>(v);
    return true;
}

std::string ReferenceName(const char* value, bool devicePaths) {
    if (std::string(value).find("://") != std::string::npos) return value;
    if (devicePaths && value[0] == '/') return value;
    if (strstr(value, "COM") != nullptr) return value;
    int n;
    std::string formed = ReferenceDecimal(value, &n) ? "COM" + std::to_string(n) : "COM" + std::string(value);
    return formed.substr(0, kPortNameSize - 1);
}

// The device path the rules give: the name itself for "/...", /dev/ttyS(n-1)
// for "COMn" with n a decimal from 1 to INT_MAX, /dev/<name> otherwise.
std::string ReferencePath(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos) {
        std::string digits = name.substr(3);
        size_t nonZero = digits.find_first_not_of('0');
        digits = nonZero == std::string::npos ? "" : digits.substr(nonZero);
        bool inRange = !digits.empty() &&
                       (digits.size() < 10 || (digits.size() == 10 && digits <= "2147483647"));
        if (inRange) return "/dev/ttyS" + std::to_string(std::stoll(digits) - 1);
    }
    return "/dev/" + name;
}

void CheckDevicePath(const std::string& name, size_t size) {
    std::string want = ReferencePath(name);
    // Exactly `size` bytes on the heap: a write past them is an ASan report.
    char* path = static_cast<char*>(malloc(size == 0 ? 1 : size));
    bool fits = PosixDevicePath(name.c_str(), path, size);
    Expect(fits == (want.size() < size), "device path fit differs", name);
    if (fits) Expect(want == path, "device path outside the rules", name);
    if (!fits && size > 0) Expect(want.compare(0, size - 1, path) == 0, "cut device path differs", name);
    free(path);
}

// The query of a +tls URL as the rules read it: '&'-separated NAME=VALUE,
// each VALUE percent-decoded. Only called for a query ParseNetAddress took.
std::string ReferenceValue(const std::string& query, const std::string& parameter) {
    const std::string all = "&" + query + "&";
    const size_t at = all.find("&" + parameter + "=");
    if (at == std::string::npos) return "";
    const std::string part = all.substr(at + parameter.size() + 2, all.find('&', at + 1) - at - parameter.size() - 2);
    std::string value;
    for (size_t i = 0; i < part.size(); i += part[i] == '%' ? 3 : 1) {
        value += part[i] == '%' ? static_cast<char>(std::stoi(part.substr(i + 1, 2), nullptr, 16)) : part[i];
    }
    return value;
}

void CheckNetAddress(const std::string& name) {
    NetAddress a;
    memset(&a, 'Z', sizeof a);
    const bool ok = ParseNetAddress(name.c_str(), &a);
    Expect(strnlen(a.problem, sizeof a.problem) < sizeof a.problem, "problem not terminated", name);
    Expect(ok == (a.problem[0] == '\0'), "problem and verdict disagree", name);
    // The reason line from any problem, into a heap buffer of its size.
    const size_t size = 1 + name.size() % 120;
    char* out = static_cast<char*>(malloc(size));
    Expect(strlen(NetFailureText(NetFailure::kUrl, a.problem, out, size)) < size, "reason not terminated", name);
    free(out);
    if (!ok) return;
    const size_t question = name.find('?');
    std::string scheme = name.substr(0, name.find("://"));
    for (char& c : scheme) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    Expect(a.tls == (scheme.size() > 4 && scheme.substr(scheme.size() - 4) == "+tls"), "tls flag differs", name);
    Expect(a.tls || question == std::string::npos, "a query on a plain URL was taken", name);
    Expect(a.cert[0] == '\0' ? a.key[0] == '\0' : a.key[0] != '\0', "cert without key was taken", name);
    if (!a.tls) return;
    const std::string query = question == std::string::npos ? "" : name.substr(question + 1);
    Expect(ReferenceValue(query, "ca") == a.ca, "ca differs", name);
    Expect(ReferenceValue(query, "cert") == a.cert, "cert differs", name);
    Expect(ReferenceValue(query, "key") == a.key, "key differs", name);
    const std::string wanted = ReferenceValue(query, "name");
    Expect((wanted.empty() ? std::string(a.host) : wanted) == a.name, "name differs", name);
}

// `given` is the -COM value, or null when none was given (which means "1").
void CheckValue(const char* given) {
    const char* value = given != nullptr ? given : "1";
    int got = 0x5a5a5a5a, want = 0x5a5a5a5a;
    bool scanned = ScanDecimal(value, &got);
    Expect(scanned == ReferenceDecimal(value, &want), "decimal scan verdict differs", value);
    if (scanned) Expect(got == want, "decimal value differs", value);

    for (bool devicePaths : {true, false}) {
        // A heap field of exactly kPortNameSize bytes, filled with junk.
        char* field = static_cast<char*>(malloc(kPortNameSize));
        memset(field, 'Z', kPortNameSize);
        const char* name = DerivePortName(given, *reinterpret_cast<char(*)[kPortNameSize]>(field), devicePaths);
        Expect((given != nullptr && name == given) || name == field, "name is neither the value nor the field",
               value);
        if (name == field) Expect(strlen(name) <= kPortNameSize - 1, "formed name too long", value);
        Expect(ReferenceName(value, devicePaths) == name, "port name differs", value);
        if (devicePaths) {
            CheckDevicePath(name, 300);
            CheckDevicePath(name, strlen(name) % 40);
        }
        if (devicePaths && IsNetworkName(name)) CheckNetAddress(name);
        free(field);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args = Arguments(data, size);
    std::vector<const char*> argv = {"tessan"};
    for (const std::string& a : args) argv.push_back(a.c_str());

    CommandLine line = {reinterpret_cast<const char*>(1), reinterpret_cast<const char*>(1)};
    bool ok = ScanArguments(static_cast<int>(argv.size()), argv.data(), &line);
    RefScan ref = ReferenceScan(argv);
    Expect(ok == ref.ok, "scan verdict differs", args.empty() ? "" : args[0]);
    if (ok) {
        Expect(line.fileName == (ref.file < 0 ? nullptr : argv[static_cast<size_t>(ref.file)]), "file name differs",
               args.empty() ? "" : args[0]);
        Expect(line.comValue == (ref.com < 0 ? nullptr : argv[static_cast<size_t>(ref.com)]), "-COM value differs",
               args.empty() ? "" : args[0]);
    }

    // The value the tool would use (none: the default), and every argument
    // as a -COM value of its own.
    CheckValue(ok ? line.comValue : nullptr);
    for (size_t i = 1; i < argv.size() && i < 64; ++i) CheckValue(argv[i]);
    return 0;
}
