// tessan on real serial drivers: a statically linked build runs inside a
// Linux virtual machine on the guest's UARTs (the 8250 driver) and on a USB
// serial adapter (ftdi_sio), with tessan-sim on the host side of each port in
// its connected-line mode. One boot serves every case; each asserts the
// tool's whole output, its exit status, an empty standard error and the
// exact bytes the target received.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include <sys/stat.h>

#include "../e2e/CaseText.h"
#include "../e2e/Harness.h"
#include "VmGuest.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Substitute(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The greeting goes out this long after the trigger. The tool reads the
// trigger's answer until a second passes without a byte (about 1.1 s after
// the trigger), closes, waits 500 ms and re-opens: 1.6 s. It then waits one
// second for the greeting, so 2.1 s sits in the middle of that window.
const char kGreetAfter[] = "2100";

// What the host does when the target's event log shows `event`: after
// `delayMs`, unplug or plug the USB adapter.
struct Action {
    std::string event;
    int delayMs;
    bool unplug;
};

struct VmCase {
    std::string name;
    std::string port;                 // the chardev label: "com1", "com2", "usb"
    std::vector<std::string> simArgs;
    std::string image;                // raw bytes; the guest gets them as hex text in fw.txt
    std::string script;               // runs in the case's folder in the guest
    std::vector<std::string> files;   // guest files to bring back besides t.out, t.err, t.status
    std::vector<Action> actions;
};

struct VmOutcome {
    std::map<std::string, std::string> files;  // by name, as the guest left them
    std::string received;                       // what the target received after its greeting was due
    std::string simLog;
    std::string simErr;
    int simStatus = -1;
    double endTime = 0;                  // when the guest's script ended (host clock)
    std::vector<double> actionTimes;     // when each action was done
};

class VmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vm_ = new VmGuest;
        std::string dir = std::string(TESSAN_VM_DIR) + "/run";
        mkdir(dir.c_str(), 0755);
        const double start = Now();
        booted_ = vm_->Boot(TESSAN_QEMU, TESSAN_VM_DIR, dir, &bootError_);
        bootSeconds_ = Now() - start;
    }
    static void TearDownTestSuite() {
        delete vm_;
        vm_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(booted_) << bootError_;
        consoleFrom_ = Slurp(vm_->ConsolePath()).size();
    }
    // A failing case keeps the guest's console from its start, beside the
    // sim's log and the files from the guest.
    void TearDown() override {
        if (!HasFailure() || caseDir_.empty()) return;
        const std::string console = Slurp(vm_->ConsolePath());
        FILE* f = fopen((caseDir_ + "/console.log").c_str(), "wb");
        if (f != nullptr) {
            if (console.size() > consoleFrom_) fwrite(console.data() + consoleFrom_, 1, console.size() - consoleFrom_, f);
            fclose(f);
        }
        ADD_FAILURE() << "guest console, sim log and the case's files kept in " << caseDir_;
    }

    VmOutcome Run(const VmCase& c);
    void ExpectTool(const VmOutcome& o, const std::string& prefix, const std::string& expected, int status,
                    const std::string& port);

    static VmGuest* vm_;
    static bool booted_;
    static std::string bootError_;
    static double bootSeconds_;
    size_t consoleFrom_ = 0;
    std::string caseDir_;
};

VmGuest* VmTest::vm_ = nullptr;
bool VmTest::booted_ = false;
std::string VmTest::bootError_;
double VmTest::bootSeconds_ = 0;

// Runs one case: the image into the guest, the sim on the port's host side,
// the script in the guest while the actions follow the sim's events, then
// everything back.
VmOutcome VmTest::Run(const VmCase& c) {
    VmOutcome o;
    caseDir_ = std::string(TESSAN_VM_DIR) + "/run/" + c.name;
    const std::string guestDir = "/c/" + c.name;
    int status = -1;
    EXPECT_EQ(system(("rm -rf '" + caseDir_ + "' && mkdir -p '" + caseDir_ + "'").c_str()), 0);
    EXPECT_TRUE(vm_->Run("rm -rf " + guestDir + " && mkdir -p " + guestDir, 30, &status) && status == 0);
    EXPECT_TRUE(vm_->Put(guestDir + "/fw.txt", Hex(c.image)));
    FILE* expect = fopen((caseDir_ + "/expect.bin").c_str(), "wb");
    if (expect != nullptr) {
        fwrite(c.image.data(), 1, c.image.size(), expect);
        fclose(expect);
    }

    const std::string events = caseDir_ + "/events";
    std::vector<std::string> argv = {SimPath(), vm_->HostSide(c.port), "--connected", "--greet-after", kGreetAfter,
                                     "--events", events, "--log", caseDir_ + "/sim.log", "--rx",
                                     caseDir_ + "/rx.bin", "--expect", caseDir_ + "/expect.bin", "--timeout", "90"};
    argv.insert(argv.end(), c.simArgs.begin(), c.simArgs.end());
    pid_t sim = StartProcess(argv, caseDir_, caseDir_ + "/sim.out", caseDir_ + "/sim.err");
    const double simDeadline = Now() + 10;
    while (Slurp(caseDir_ + "/sim.out").find('\n') == std::string::npos && Now() < simDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    EXPECT_TRUE(vm_->Start("cd " + guestDir + " && . /lib/cases.sh\n" + c.script));
    std::vector<double> due(c.actions.size(), -1);
    o.actionTimes.assign(c.actions.size(), -1);
    const double runDeadline = Now() + 90;
    size_t eventsRead = 0;
    while (!vm_->Done() && Now() < runDeadline) {
        // Whole lines only: the sim writes each event line at once.
        const std::string log = Slurp(events);
        const size_t end = log.rfind('\n');
        if (end != std::string::npos && end + 1 > eventsRead) {
            const std::string fresh = log.substr(eventsRead, end + 1 - eventsRead);
            for (size_t i = 0; i < c.actions.size(); ++i) {
                if (due[i] < 0 && fresh.find(" " + c.actions[i].event) != std::string::npos) {
                    due[i] = Now() + c.actions[i].delayMs / 1000.0;
                }
            }
            eventsRead = end + 1;
        }
        for (size_t i = 0; i < c.actions.size(); ++i) {
            if (due[i] >= 0 && o.actionTimes[i] < 0 && Now() >= due[i]) {
                std::string error;
                EXPECT_TRUE(c.actions[i].unplug ? vm_->Unplug(&error) : vm_->Plug(&error)) << error;
                o.actionTimes[i] = Now();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(vm_->Finish(5, &status)) << "the guest's script did not end";
    o.endTime = Now();
    for (size_t i = 0; i < c.actions.size(); ++i) {
        EXPECT_GE(o.actionTimes[i], 0) << "never saw the target's event '" << c.actions[i].event << "'";
    }

    std::vector<std::string> files = {"t.out", "t.err", "t.status"};
    files.insert(files.end(), c.files.begin(), c.files.end());
    for (const std::string& name : files) {
        EXPECT_TRUE(vm_->Get(guestDir + "/" + name, &o.files[name])) << "no " << name << " in the guest";
        FILE* f = fopen((caseDir_ + "/" + name).c_str(), "wb");
        if (f != nullptr) {
            fwrite(o.files[name].data(), 1, o.files[name].size(), f);
            fclose(f);
        }
    }

    // The sim ends on its own once the line has been quiet for a while.
    o.simStatus = StopProcess(sim, 15);
    o.received = Slurp(caseDir_ + "/rx.bin");
    o.simLog = Slurp(caseDir_ + "/sim.log");
    o.simErr = Slurp(caseDir_ + "/sim.err");
    EXPECT_EQ(o.simErr, "") << "tessan-sim wrote to standard error";
    return o;
}

// One tessan run's output (prefix.out), standard error and exit status.
void VmTest::ExpectTool(const VmOutcome& o, const std::string& prefix, const std::string& expected, int status,
                        const std::string& port) {
    std::string want = Substitute(expected, "{PORT}", port);
    want = Substitute(want, "{PAUSE}", NativeRunner().pause);
    EXPECT_EQ(MatchOutput(want, o.files.at(prefix + ".out")), "") << prefix;
    EXPECT_EQ(o.files.at(prefix + ".err"), "") << prefix << ": nothing may go to standard error";
    EXPECT_EQ(o.files.at(prefix + ".status"), std::to_string(status) + "\n") << prefix;
}

// An image of records with the given block counts whose bytes after each
// block count run through every byte value in turn (0x00, 0x11, 0x13, 0x0d,
// 0x0a, 0x7f, 0xff included), so any byte a driver would translate, take as
// flow control or drop shows.
std::string EveryByteRecords(const std::vector<int>& blockCounts) {
    std::string image;
    unsigned value = 0;
    for (int n : blockCounts) {
        image += static_cast<char>(n);
        for (int i = 0; i < 16 * n + 4; ++i) image += static_cast<char>(value++ % 256);
    }
    return image;
}

std::string Successful(const std::vector<int>& counts) {
    return Head() + Handshake() + Progress(counts, counts.size()) + Done();
}

const char kUsbPath[] = "/dev/ttyUSB0";
const char kLatency[] = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";

}  // namespace

// a. No -COM: COM1, which inside the guest is its first UART, /dev/ttyS0.
TEST_F(VmTest, DefaultPortIsTheGuestsFirstUart) {
    std::vector<int> counts = {0, 1, 2, 3, 0};
    VmCase c;
    c.name = "a-default-port";
    c.port = "com1";
    c.image = Records(counts);
    c.script = "run_tessan t fw.txt";
    VmOutcome o = Run(c);
    ExpectTool(o, "t", Successful(counts), 0, "COM1");
    EXPECT_TRUE(o.received == c.image) << "target received " << o.received.size() << " bytes";
    EXPECT_EQ(o.simStatus, 0) << o.simLog;
}

// b. -COM 2: the second UART, /dev/ttyS1, with records of 5, 261 and 4,085
// bytes that hold every byte value.
TEST_F(VmTest, EveryByteValueOverTheSecondUart) {
    std::vector<int> counts = {0, 16, 255};
    VmCase c;
    c.name = "b-com2-every-byte";
    c.port = "com2";
    c.image = EveryByteRecords(counts);
    c.script = "run_tessan t fw.txt -COM 2";
    VmOutcome o = Run(c);
    ExpectTool(o, "t", Successful(counts), 0, "COM2");
    EXPECT_TRUE(o.received == c.image) << "target received " << o.received.size() << " bytes";
    EXPECT_EQ(o.simStatus, 0) << o.simLog;
}
