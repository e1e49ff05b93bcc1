// PtyTest.cpp - the simulated target's pseudo-terminal: what it reports about
// bytes the tool has not read yet, which decides when a vanishing target may
// drop its port without losing them.
#include "../../sim/Pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// Opens the slave the way the tool does, non-blocking so a read never waits.
int openAsTool(const Pty& pty) {
    return ::open(pty.slaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

}  // namespace

// Written bytes pass through a kernel work item before the slave's queue
// counts them. The count must include them at once, even when that work has
// not run yet: a target that took "0 unread" at face value dropped its port
// with the greeting still unread, and the tool never saw it.
TEST(SimPty, CountsBytesTheToolHasNotReadFromTheMomentTheyAreWritten) {
    for (int round = 0; round < 200; ++round) {
        Pty pty;
        std::string err;
        ASSERT_TRUE(pty.create(err)) << err;
        const int tool = openAsTool(pty);
        ASSERT_GE(tool, 0);
        ASSERT_EQ(::write(pty.master(), "LOADER", 6), 6);
        ASSERT_EQ(pty.unreadBySlave(), 6) << "round " << round;

        char buf[16];
        ASSERT_EQ(::read(tool, buf, sizeof buf), 6);
        EXPECT_EQ(pty.unreadBySlave(), 0);
        ::close(tool);
    }
}

TEST(SimPty, UnreadCountIsUnknownOnceThePortIsGone) {
    Pty pty;
    std::string err;
    ASSERT_TRUE(pty.create(err)) << err;
    pty.close();
    EXPECT_EQ(pty.unreadBySlave(), -1);
}
