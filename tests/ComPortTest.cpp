// ComPort's POSIX backend against pseudo-terminals the tests create.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "Pty.h"
#include "TempDir.h"
#include "serial/ComPort.h"

namespace {

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Writes bytes to the master side from another thread, `gapMs` apart.
std::thread Feed(int fd, std::string bytes, int gapMs) {
    return std::thread([fd, bytes, gapMs] {
        for (char c : bytes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            if (write(fd, &c, 1) != 1) return;
        }
    });
}

std::string ReadMaster(int fd, size_t want, int timeoutMs = 2000) {
    std::string got;
    char buf[4096];
    while (got.size() < want) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

class ComPortOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(port.Open(pty.slave().c_str(), 115200, 500));
    }
    TestPty pty;
    ComPort port;
};

}  // namespace

TEST_F(ComPortOnPty, LineSettingsAreRaw8N1AtTheBaudRate) {
    struct termios t;
    ASSERT_EQ(tcgetattr(port.handle, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(port.name, pty.slave());
}

TEST_F(ComPortOnPty, EveryByteValuePassesUnchangedBothWays) {
    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    ASSERT_TRUE(port.Write(all, sizeof all));
    EXPECT_EQ(ReadMaster(pty.master(), 256), std::string(reinterpret_cast<char*>(all), 256));

    ASSERT_EQ(write(pty.master(), all, sizeof all), 256);
    unsigned char back[256] = {};
    EXPECT_EQ(port.Read(back, sizeof back), 256u);
    EXPECT_EQ(memcmp(back, all, sizeof all), 0);
}

TEST_F(ComPortOnPty, SilentOneByteReadReturnsNothingAfterAboutASecond) {
    unsigned char b;
    auto start = Clock::now();
    EXPECT_EQ(port.Read(&b, 1), 0u);
    double s = SecondsSince(start);
    EXPECT_GT(s, 0.9);
    EXPECT_LT(s, 1.5);
}

TEST_F(ComPortOnPty, TotalTimeOutGrowsWithTheCount) {
    // Nothing arrives: T * 3 + T = 2 s for three bytes.
    unsigned char b[3];
    auto start = Clock::now();
    EXPECT_EQ(port.Read(b, 3), 0u);
    double s = SecondsSince(start);
    EXPECT_GT(s, 1.9);
    EXPECT_LT(s, 2.5);
}

TEST_F(ComPortOnPty, ShortGapsKeepALongReadGoing) {
    // Bytes 300 ms apart: never more than 500 ms between two, and all eight
    // within the total of 500 * 8 + 500 ms.
    std::thread feeder = Feed(pty.master(), "ABCDEFGH", 300);
    unsigned char buf[8] = {};
    auto start = Clock::now();
    size_t n = port.Read(buf, sizeof buf);
    double s = SecondsSince(start);
    feeder.join();
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "ABCDEFGH");
    EXPECT_GT(s, 2.2);
    EXPECT_LT(s, 3.0);
}

TEST_F(ComPortOnPty, AGapOverTheIntervalEndsTheRead) {
    std::thread feeder = Feed(pty.master(), "AB", 700);
    unsigned char buf[4] = {};
    auto start = Clock::now();
    size_t n = port.Read(buf, sizeof buf);
    double s = SecondsSince(start);
    // A arrives at 0.7 s; B would come 700 ms later, past the interval.
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 'A');
    EXPECT_GT(s, 1.1);
    EXPECT_LT(s, 1.6);
    feeder.join();
    EXPECT_EQ(port.Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], 'B');
}

TEST_F(ComPortOnPty, OpenOnAnOpenPortFailsAndChangesNothing) {
    TestPty other;
    ASSERT_TRUE(other.ok());
    int before = port.handle;
    EXPECT_FALSE(port.Open(other.slave().c_str(), 115200, 500));
    EXPECT_EQ(port.handle, before);
    EXPECT_EQ(port.name, pty.slave());
    const unsigned char ping[] = "ping";
    EXPECT_TRUE(port.Write(ping, 4));
    EXPECT_EQ(ReadMaster(pty.master(), 4), "ping");
}

TEST_F(ComPortOnPty, AHeldPortIsRefusedToOthers) {
    ComPort second;
    EXPECT_FALSE(second.Open(pty.slave().c_str(), 115200, 500));
    EXPECT_FALSE(second.IsOpen());

    // Another process is refused as well.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ComPort theirs;
        _exit(theirs.Open(pty.slave().c_str(), 115200, 500) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Released, it can be opened again at once.
    port.Close();
    EXPECT_TRUE(second.Open(pty.slave().c_str(), 115200, 500));
}

TEST(ComPort, CloseLeavesTheDeviceOpenableForOthers) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    // Another holder of the device keeps the terminal alive across our close.
    int other = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ComPort port;
    ASSERT_TRUE(port.Open(pty.slave().c_str(), 115200, 500));
    int exclusive = 0;
#ifdef TIOCGEXCL
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
#endif
    port.Close();
#ifdef TIOCGEXCL
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
#endif
    EXPECT_TRUE(port.Open(pty.slave().c_str(), 115200, 500));
    close(other);
}

#ifdef TIOCGEXCL
// A refused open (a second tessan on a port in use) must leave the holder's
// exclusive mode in place: the holder is not to be disturbed.
TEST_F(ComPortOnPty, ARefusedOpenLeavesTheHolderExclusive) {
    int exclusive = 0;
    ASSERT_EQ(ioctl(port.handle, TIOCGEXCL, &exclusive), 0);
    ASSERT_EQ(exclusive, 1);
    ComPort second;
    EXPECT_FALSE(second.Open(pty.slave().c_str(), 115200, 500));
    ASSERT_EQ(ioctl(port.handle, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "the refused open cleared the holder's exclusive mode";
}
#endif

TEST_F(ComPortOnPty, AVanishedDeviceEndsReadsPromptly) {
    pty.CloseMaster();
    unsigned char b[16];
    auto start = Clock::now();
    EXPECT_EQ(port.Read(b, 1), 0u);
    EXPECT_EQ(port.Read(b, sizeof b), 0u);
    EXPECT_LT(SecondsSince(start), 0.3);
    EXPECT_FALSE(port.Write(b, 1));
}

TEST(ComPort, ClosedObjectDoesNothing) {
    ComPort port;
    unsigned char b[4] = {};
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Read(b, 4), 0u);
    EXPECT_FALSE(port.Write(b, 4));
    EXPECT_FALSE(port.Purge());
    port.Close();
    port.Close();
    EXPECT_EQ(port.handle, ComPort::kClosed);
}

TEST(ComPort, CloseTwiceAndReopen) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    ComPort port;
    ASSERT_TRUE(port.Open(pty.slave().c_str(), 115200, 500));
    EXPECT_TRUE(port.Purge());
    port.Close();
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    ASSERT_TRUE(port.Open(pty.slave().c_str(), 115200, 500));
    EXPECT_TRUE(port.IsOpen());
}

TEST(ComPort, DevicesThatRefuseTheSettingsEndClosed) {
    TempDir dir;
    ComPort port;
    // Not a terminal: no line settings can be applied.
    EXPECT_FALSE(port.Open("/dev/null", 115200, 500));
    EXPECT_FALSE(port.IsOpen());
    std::string plain = dir.Write("plain", "x");
    EXPECT_FALSE(port.Open(plain.c_str(), 115200, 500));
    EXPECT_FALSE(port.IsOpen());
    // A baud rate the line cannot run at.
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    EXPECT_FALSE(port.Open(pty.slave().c_str(), 12345, 500));
    EXPECT_FALSE(port.IsOpen());
    // Missing devices.
    EXPECT_FALSE(port.Open(dir.File("absent").c_str(), 115200, 500));
    EXPECT_FALSE(port.Open("tessan-no-such-device", 115200, 500));
    EXPECT_FALSE(port.IsOpen());
}

TEST(ComPort, OverLongNamesAreRefusedBeforeAnythingIsTouched) {
    ComPort port;
    std::string name255(255, 'n');
    std::string name256(256, 'n');
    std::string name5000(5000, 'n');
    EXPECT_FALSE(port.Open(name256.c_str(), 115200, 500));
    EXPECT_FALSE(port.Open(name5000.c_str(), 115200, 500));
    EXPECT_STREQ(port.name, "");  // nothing was copied
    EXPECT_FALSE(port.Open(name255.c_str(), 115200, 500));  // does not exist
    EXPECT_EQ(std::string(port.name), name255);
}
