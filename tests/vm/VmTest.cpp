// tessan on real serial drivers: a statically linked build runs inside a
// Linux virtual machine on the guest's UARTs (the 8250 driver) and on a USB
// serial adapter (ftdi_sio), with tessan-sim on the host side of each port in
// its connected-line mode; and tessan-gang's station on that adapter while it
// re-enumerates. One boot serves every case; each asserts the tool's whole
// output, its exit status, an empty standard error and the exact bytes the
// target received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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
        printf("the guest answered %.1f s after QEMU started\n", Now() - start);
    }
    static void TearDownTestSuite() {
        delete vm_;
        vm_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(booted_) << bootError_;
        ASSERT_FALSE(vm_->Lost()) << "an earlier case lost the guest; see " << vm_->ConsolePath();
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
    void ExpectTransfer(const VmOutcome& o, const VmCase& c, const std::string& expected, const std::string& port);

    static VmGuest* vm_;
    static bool booted_;
    static std::string bootError_;
    size_t consoleFrom_ = 0;
    std::string caseDir_;
};

VmGuest* VmTest::vm_ = nullptr;
bool VmTest::booted_ = false;
std::string VmTest::bootError_;

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
    EXPECT_EQ(Slurp(caseDir_ + "/sim.out").compare(0, argv[1].size() + 1, argv[1] + "\n"), 0)
        << "tessan-sim is not on the line: " << Slurp(caseDir_ + "/sim.out");

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
                o.actionTimes[i] = Now();
                EXPECT_TRUE(c.actions[i].unplug ? vm_->Unplug(&error) : vm_->Plug(&error)) << error;
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
    const std::string want = FillPlaceholders(expected, port, NativeRunner().pause);
    EXPECT_EQ(MatchOutput(want, o.files.at(prefix + ".out")), "") << prefix;
    EXPECT_EQ(o.files.at(prefix + ".err"), "") << prefix << ": nothing may go to standard error";
    EXPECT_EQ(o.files.at(prefix + ".status"), std::to_string(status) + "\n") << prefix;
}

// A whole transfer (t.out shows `expected`) that the target saw complete,
// correct and with nothing else on the line.
void VmTest::ExpectTransfer(const VmOutcome& o, const VmCase& c, const std::string& expected,
                            const std::string& port) {
    ExpectTool(o, "t", expected, 0, port);
    EXPECT_TRUE(o.received == c.image) << "target received " << o.received.size() << " bytes";
    EXPECT_EQ(o.simStatus, 0) << o.simLog;
}

std::string Successful(const std::vector<int>& counts) {
    return Head() + Handshake() + Progress(counts, counts.size()) + Done();
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
    ExpectTransfer(o, c, Successful(counts), "COM1");
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
    ExpectTransfer(o, c, Successful(counts), "COM2");
}

// c. -COM /dev/ttyUSB0: the adapter's latency timer is 1 ms while the tool
// has the port, and reads as before once the tool has ended. The tool runs as
// an ordinary user, as it does on a desk (root would pass any privilege
// check the driver makes).
TEST_F(VmTest, UsbAdapterRunsAtLowLatencyOnlyWhileTheToolHasIt) {
    std::vector<int> counts(8, 1);
    VmCase c;
    c.name = "c-usb-latency";
    c.port = "usb";
    c.simArgs = {"--program-delay", "150000"};  // a transfer of over a second to look at
    c.image = Records(counts);
    c.script = std::string("L=") + kLatency + "\n" +
               "wait_for_path $L 30 || exit 1\n"
               "chmod 666 /dev/ttyUSB0\n"
               "cat $L >lat.before\n"
               "tessan-vm-guest user /bin/tessan fw.txt -COM /dev/ttyUSB0 </dev/null >t.out 2>t.err &\n"
               "pid=$!\n"
               "wait_for_text t.out Transferring 30 && cat $L >lat.during && kill -0 $pid && echo running >lat.state\n"
               "wait $pid\n"
               "echo $? >t.status\n"
               "cat $L >lat.after\n";
    c.files = {"lat.before", "lat.during", "lat.state", "lat.after"};
    VmOutcome o = Run(c);
    ExpectTransfer(o, c, Successful(counts), kUsbPath);
    EXPECT_NE(o.files["lat.before"], "1\n") << "the adapter was at 1 ms before the run: nothing to show";
    EXPECT_EQ(o.files["lat.during"], "1\n");
    EXPECT_EQ(o.files["lat.state"], "running\n") << "the timer was read after the tool had ended";
    EXPECT_EQ(o.files["lat.after"], o.files["lat.before"]);
}

// d. The adapter re-enumerates while the target resets: it leaves the bus
// 0.2 s after the target has answered the trigger and comes back 1.5 s
// later; the guest has it as /dev/ttyUSB0 again about 0.4 s after that. The
// tool prints dots while the device is missing and re-opens it within
// 0.2 s of its return (about 2.1 to 2.3 s after the reply), so the greeting
// goes out 2.8 s after the trigger, inside the tool's second of waiting.
// The adapter that came back is left as it was found too.
TEST_F(VmTest, UsbAdapterReEnumeratesDuringTheReset) {
    std::vector<int> counts = {0, 2, 1};
    VmCase c;
    c.name = "d-usb-re-enumerates";
    c.port = "usb";
    c.simArgs = {"--greet-after", "2800"};
    c.image = Records(counts);
    c.script = std::string("L=") + kLatency + "\n" +
               "wait_for_path $L 30 || exit 1\n"
               "cat $L >lat.before\n"
               "run_tessan t fw.txt -COM /dev/ttyUSB0\n"
               "cat $L >lat.after\n";
    c.files = {"lat.before", "lat.after"};
    c.actions = {{"reply", 200, true}, {"reply", 1700, false}};
    VmOutcome o = Run(c);
    ExpectTransfer(o, c,
                   Head() + Trigger() + "{DOTS}{PORT} opened.\n" + Echo("LOADER v1.0+") + Progress(counts, 3) + Done(),
                   kUsbPath);
    EXPECT_EQ(o.files["lat.after"], o.files["lat.before"]);
}

// e. The adapter is pulled out in the middle of a record: the tool fails at
// once instead of waiting out its time-out, sends nothing more and ends.
TEST_F(VmTest, UsbAdapterUnpluggedInTheMiddleOfARecord) {
    std::vector<int> counts = {1, 255, 255, 1};
    VmCase c;
    c.name = "e-usb-unplugged-mid-record";
    c.port = "usb";
    c.simArgs = {"--vanish", "2"};
    c.image = Records(counts);
    c.script = "wait_for_path /dev/ttyUSB0 30 || exit 1\nrun_tessan t fw.txt -COM /dev/ttyUSB0";
    c.actions = {{"vanish", 0, true}};
    VmOutcome o = Run(c);
    std::string error;
    EXPECT_TRUE(vm_->Plug(&error)) << error;  // back for whatever comes next

    ExpectTool(o, "t", Head() + Handshake() + Progress(counts, 2) + NotResponding(), 255, kUsbPath);
    const size_t first = 16 + 5, second = 16 * 255 + 5;
    EXPECT_GE(o.received.size(), first + second / 2);
    EXPECT_LE(o.received.size(), first + second) << "the tool sent more after the unplug";
    EXPECT_EQ(o.received, c.image.substr(0, o.received.size()));
    EXPECT_NE(o.simLog.find("result fail vanished"), std::string::npos) << o.simLog;
    EXPECT_EQ(o.simLog.find("unexpected"), std::string::npos) << o.simLog;
    ASSERT_GE(o.actionTimes[0], 0);
    const double afterUnplug = o.endTime - o.actionTimes[0];
    EXPECT_LT(afterUnplug, 2.0) << "the tool ended " << afterUnplug << " s after the unplug";
    // The record was all sent by the unplug, so a tool that only waited out
    // its one-second status time-out would end a second after it: well
    // sooner shows the read ended on the driver's hang-up (0.06 s here).
    EXPECT_LT(afterUnplug, 0.8) << "the tool waited out its time-out instead of seeing the adapter go";
    printf("the tool ended %.2f s after the unplug\n", afterUnplug);
}

// f. A second tessan on a port the first is transferring over is refused,
// whether root (the lock) or an ordinary user (the exclusive mode) starts
// it, and sends nothing; the first goes on undisturbed, and once it has
// ended the port opens again.
TEST_F(VmTest, SecondToolOnAHeldUartIsRefused) {
    std::vector<int> counts(10, 1);
    VmCase c;
    c.name = "f-held-port";
    c.port = "com2";
    c.simArgs = {"--program-delay", "200000"};
    c.image = Records(counts);
    c.script =
        "chmod 666 /dev/ttyS1\n"
        "tessan fw.txt -COM 2 </dev/null >t.out 2>t.err &\n"
        "pid=$!\n"
        "wait_for_text t.out Transferring 30\n"
        "run_tessan second fw.txt -COM 2\n"
        "tessan-vm-guest user /bin/tessan fw.txt -COM 2 </dev/null >user.out 2>user.err\n"
        "echo $? >user.status\n"
        "kill -0 $pid && echo running >first.state\n"
        "wait $pid\n"
        "echo $? >t.status\n"
        "tessan-vm-guest open COM2 >reopen.txt\n"
        "tessan-vm-guest user /bin/tessan-vm-guest open COM2 >>reopen.txt\n";
    c.files = {"second.out", "second.err", "second.status", "user.out", "user.err", "user.status",
               "first.state", "reopen.txt"};
    VmOutcome o = Run(c);
    ExpectTransfer(o, c, Successful(counts), "COM2");
    const std::string refused = Head() + "Error: COM2 in use or does not exist.\n{PAUSE}";
    ExpectTool(o, "second", refused, 255, "COM2");
    ExpectTool(o, "user", refused, 255, "COM2");
    EXPECT_EQ(o.files["first.state"], "running\n") << "the first tessan had ended before the others tried";
    EXPECT_EQ(o.files["reopen.txt"], "opened\nopened\n");
}

// g. The line as the guest's UART driver holds it while tessan has the port:
// 115200 baud, 8N1, no flow control of any kind, raw both ways, DTR and RTS
// up; and its low-latency flag, which is put back when the tool ends. The
// tool runs as an ordinary user, as in c.
TEST_F(VmTest, UartLineSettingsWhileTheToolHoldsIt) {
    std::vector<int> counts(8, 1);
    VmCase c;
    c.name = "g-uart-settings";
    c.port = "com1";
    c.simArgs = {"--program-delay", "150000"};
    c.image = Records(counts);
    c.script =
        "chmod 666 /dev/ttyS0\n"
        "tessan-vm-guest user /bin/tessan fw.txt -COM 1 </dev/null >t.out 2>t.err &\n"
        "pid=$!\n"
        "wait_for_text t.out Transferring 30 && tessan-vm-guest probe /dev/ttyS0 >during.txt &&\n"
        "  kill -0 $pid && echo running >probe.state\n"
        "wait $pid\n"
        "echo $? >t.status\n"
        "tessan-vm-guest probe /dev/ttyS0 | grep serial >after.txt\n";
    c.files = {"during.txt", "probe.state", "after.txt"};
    VmOutcome o = Run(c);
    ExpectTransfer(o, c, Successful(counts), "COM1");
    EXPECT_EQ(o.files["during.txt"],
              "speed 115200 115200\n"
              "cflag cs8 -parenb -cstopb -crtscts clocal cread\n"
              "iflag -ixon -ixoff -ixany -icrnl -inlcr -igncr -istrip -inpck -parmrk\n"
              "lflag -icanon -echo -isig -iexten\n"
              "oflag -opost\n"
              "serial low_latency\n"
              "modem dtr rts\n");
    EXPECT_EQ(o.files["probe.state"], "running\n") << "the line was read after the tool had ended";
    EXPECT_EQ(o.files["after.txt"], "serial -low_latency\n");
}

// Each "(12.3 s)" of tessan-gang's lines as "(S s)": the seconds vary.
static std::string WithoutSeconds(std::string text) {
    for (size_t at = text.find(" ("); at != std::string::npos; at = text.find(" (", at + 2)) {
        size_t end = at + 2;
        while (end < text.size() && (isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) ++end;
        if (end > at + 2 && text.compare(end, 3, " s)") == 0) text.replace(at + 2, end - (at + 2), "S");
    }
    return text;
}

// h. tessan-gang's station on the adapter: a board present at the start is
// flashed at once; its port leaving the bus and coming back during its reset
// (as in d) belongs to that flash, and the port still there after the flash
// is the same board, so nothing is flashed twice in the two seconds before
// Ctrl-C ends the station, which then reports the one board and exit 0.
TEST_F(VmTest, GangStationKeepsAReEnumeratingBoardToOneFlash) {
    std::vector<int> counts = {0, 2, 1};
    VmCase c;
    c.name = "h-gang-station";
    c.port = "usb";
    c.simArgs = {"--greet-after", "2800"};
    c.image = Records(counts);
    c.script =
        "wait_for_path /dev/ttyUSB0 30 || exit 1\n"
        "tessan-gang fw.txt --wait '/dev/ttyUSB*' --settle 1 --report r.jsonl </dev/null >t.out 2>t.err &\n"
        "pid=$!\n"
        "wait_for_text t.out 'Updated 1, failed 0.' 60\n"
        "sleep 2\n"
        "kill -INT $pid\n"
        "wait $pid\n"
        "echo $? >t.status\n";
    c.files = {"r.jsonl"};
    c.actions = {{"reply", 200, true}, {"reply", 1700, false}};
    VmOutcome o = Run(c);
    EXPECT_EQ(WithoutSeconds(o.files["t.out"]),
              "Waiting for ports matching /dev/ttyUSB* (Ctrl-C ends).\n"
              "/dev/ttyUSB0: Target updated successfully. (S s) Updated 1, failed 0.\n"
              "Updated 1 of 1 board.\n");
    EXPECT_EQ(o.files["t.err"], "");
    EXPECT_EQ(o.files["t.status"], "0\n");
    const std::string& report = o.files["r.jsonl"];
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    EXPECT_EQ(report.compare(0, 30, "{\"port\":\"/dev/ttyUSB0\",\"start\""), 0) << report;
    EXPECT_NE(report.find("\"outcome\":\"updated\""), std::string::npos) << report;
    // The board named by its adapter: QEMU's FTDI chip, its serial number,
    // its socket on the root hub.
    const std::string usb = std::string(",\"greeting\":\"LOADER v1.0+\",\"usb\":{\"vid\":\"0403\",\"pid\":\"6001\","
                                        "\"serial\":\"") + kAdapterSerial +
                            "\",\"manufacturer\":\"QEMU\",\"product\":\"QEMU USB SERIAL\",\"location\":\"1-1\"}}\n";
    EXPECT_NE(report.find(usb), std::string::npos) << report;
    EXPECT_TRUE(o.received == c.image) << "target received " << o.received.size() << " bytes";
    EXPECT_EQ(o.simStatus, 0) << o.simLog;
    EXPECT_EQ(o.simLog.find("unexpected"), std::string::npos) << "a second flash reached the target:\n" << o.simLog;
}

// i. tessan-gang on the guest's second UART: the report names no USB device.
TEST_F(VmTest, GangOnAUartReportsNoUsbDevice) {
    VmCase c;
    c.name = "i-gang-uart";
    c.port = "com2";
    c.image = Records({1, 0, 2});
    c.script = "tessan-gang fw.txt /dev/ttyS1 --report r.jsonl </dev/null >t.out 2>t.err\necho $? >t.status\n";
    c.files = {"r.jsonl"};
    VmOutcome o = Run(c);
    EXPECT_EQ(WithoutSeconds(o.files["t.out"]) + o.files["t.err"] + o.files["t.status"],
              "/dev/ttyS1: Target updated successfully. (S s)\nUpdated 1 of 1 board.\n0\n");
    const std::string& report = o.files["r.jsonl"];
    EXPECT_NE(report.find(",\"greeting\":\"LOADER v1.0+\",\"usb\":null}\n"), std::string::npos) << report;
    EXPECT_TRUE(o.received == c.image) << "target received " << o.received.size() << " bytes";
}
