// The argument scan and the port-name derivation.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frontend/CommandLine.h"

namespace {

struct Scan {
    bool ok;
    std::string file;  // "<none>" when no file name was given
    std::string com;   // "<none>" when no -COM value was given
};

Scan ScanOf(std::vector<const char*> args) {
    args.insert(args.begin(), "tessan");
    CommandLine line;
    Scan s;
    s.ok = ScanArguments(static_cast<int>(args.size()), args.data(), &line);
    s.file = line.fileName ? line.fileName : "<none>";
    s.com = line.comValue ? line.comValue : "<none>";
    return s;
}

std::string Name(const char* value, bool devicePaths = true) {
    char field[kPortNameSize];
    memset(field, 'Z', sizeof field);  // a stale field must not leak through
    return DerivePortName(value, field, devicePaths);
}

}  // namespace

TEST(ScanArguments, OptionBeforeOrAfterTheFileName) {
    Scan a = ScanOf({"fw.txt", "-COM", "3"});
    Scan b = ScanOf({"-COM", "3", "fw.txt"});
    for (const Scan& s : {a, b}) {
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.file, "fw.txt");
        EXPECT_EQ(s.com, "3");
    }
}

TEST(ScanArguments, LaterComPairReplacesEarlierOne) {
    Scan s = ScanOf({"-COM", "3", "-COM", "4", "fw.txt"});
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.com, "4");
    EXPECT_EQ(s.file, "fw.txt");
}

TEST(ScanArguments, SecondFileNameIsRefused) {
    EXPECT_FALSE(ScanOf({"a.txt", "b.txt"}).ok);
    // -COM3 is an ordinary argument, hence a file name.
    EXPECT_FALSE(ScanOf({"-COM3", "fw.txt"}).ok);
    // A trailing -COM has no value and counts as a second file name.
    EXPECT_FALSE(ScanOf({"fw.txt", "-COM"}).ok);
}

TEST(ScanArguments, LoneOrValueLessComIsAFileName) {
    Scan s = ScanOf({"-COM"});
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.file, "-COM");
    EXPECT_EQ(s.com, "<none>");
    // The value of a pair is consumed even when it looks like the option.
    Scan t = ScanOf({"-COM", "-COM", "fw.txt"});
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(t.com, "-COM");
    EXPECT_EQ(t.file, "fw.txt");
    // Comparison is case-sensitive.
    EXPECT_FALSE(ScanOf({"fw.txt", "-com", "3"}).ok);
}

TEST(ScanArguments, OnlyComPairsLeaveNoFileName) {
    Scan s = ScanOf({"-COM", "3"});
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.file, "<none>");
}

TEST(ScanDecimal, BehavesLikeScanfPercentD) {
    int v = 0;
    EXPECT_TRUE(ScanDecimal("007", &v));
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(ScanDecimal("  \t-12abc", &v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(ScanDecimal("+5", &v));
    EXPECT_EQ(v, 5);
    EXPECT_FALSE(ScanDecimal("", &v));
    EXPECT_FALSE(ScanDecimal("-", &v));
    EXPECT_FALSE(ScanDecimal("x1", &v));
    EXPECT_TRUE(ScanDecimal("0x", &v));
    EXPECT_EQ(v, 0);
}

TEST(ScanDecimal, HugeNumbersAreClamped) {
    int v = 0;
    EXPECT_TRUE(ScanDecimal("2147483647", &v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_TRUE(ScanDecimal("2147483648", &v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_TRUE(ScanDecimal("-2147483648", &v));
    EXPECT_EQ(v, INT_MIN);
    EXPECT_TRUE(ScanDecimal(std::string(5000, '9').c_str(), &v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_TRUE(ScanDecimal(("-" + std::string(5000, '9')).c_str(), &v));
    EXPECT_EQ(v, INT_MIN);
}

TEST(DerivePortName, ValuesAndTheirNames) {
    EXPECT_EQ(Name(nullptr), "COM1");
    EXPECT_EQ(Name("COM12"), "COM12");
    EXPECT_EQ(Name("12"), "COM12");
    EXPECT_EQ(Name("007"), "COM7");
    EXPECT_EQ(Name("3x"), "COM3");
    EXPECT_EQ(Name("x"), "COMx");
    EXPECT_EQ(Name("com2"), "COMcom2");
    EXPECT_EQ(Name("-4"), "COM-4");
    EXPECT_EQ(Name("99999999999999999999"), "COM2147483647");
    // "COM" anywhere keeps the value, whatever its length.
    std::string longCom = std::string(300, 'a') + "COM";
    EXPECT_EQ(Name(longCom.c_str()), longCom);
}

TEST(DerivePortName, DevicePathsOnlyWhereTheyExist) {
    EXPECT_EQ(Name("/dev/ttyUSB0"), "/dev/ttyUSB0");
    // The path rule comes before the COM rule and has no length limit.
    std::string path = "/tmp/" + std::string(100, 'p') + "/COM";
    EXPECT_EQ(Name(path.c_str()), path);
    // Without device paths (Windows) a slash is just text.
    EXPECT_EQ(Name("/dev/ttyUSB0", false), "COM/dev/ttyUSB0");
}

TEST(DerivePortName, FormedNamesAreCutTo19Characters) {
    std::string name = Name("abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(name, "COMabcdefghijklmnop");
    EXPECT_EQ(name.size(), kPortNameSize - 1);
    EXPECT_EQ(Name(std::string(1000, 'q').c_str()).size(), kPortNameSize - 1);
}

TEST(DerivePortName, NetworkUrlsComeFirstAndAreNeverCut) {
    const std::string url = "rfc2217://lab-pi.example.org:4000";
    EXPECT_EQ(Name(url.c_str()), url);
    EXPECT_EQ(Name(url.c_str(), false), url);
    EXPECT_EQ(Name("socket://[::1]:4001"), "socket://[::1]:4001");
    // Any scheme: what it names is the port's business (an unknown one fails to open).
    EXPECT_EQ(Name("ftp://host:1"), "ftp://host:1");
    EXPECT_EQ(Name("://"), "://");
    // Without "://" the old rules hold.
    EXPECT_EQ(Name("rfc2217:/host:4000"), "COMrfc2217:/host:40");
    EXPECT_EQ(Name("12://x"), "12://x");
    std::string longUrl = "socket://" + std::string(400, 'h') + ":1";
    EXPECT_EQ(Name(longUrl.c_str()), longUrl);
}
