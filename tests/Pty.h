// A pseudo-terminal made by a test: the test holds the master side and
// hands the slave's path to the code under test.
#pragma once

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

class TestPty {
public:
    TestPty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name) slave_ = name;
        struct termios t;
        if (tcgetattr(master_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(master_, TCSANOW, &t);
        }
    }
    ~TestPty() { CloseMaster(); }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }

    // The device vanishes: the slave side sees a hang-up.
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slave_;
};
