// One boot of the test virtual machine: QEMU (no acceleration needed) with
// the guest's two UARTs and its USB serial adapter on pseudo-terminals, its
// monitor (QMP) to unplug and plug the adapter, and the guest agent's channel
// to put files into the guest, run scripts there and get files back.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The USB serial adapter's serial number, as its descriptor gives it.
const char kAdapterSerial[] = "TESSAN-0042";

class VmGuest {
public:
    VmGuest() = default;
    ~VmGuest();
    VmGuest(const VmGuest&) = delete;
    VmGuest& operator=(const VmGuest&) = delete;

    // Boots the kernel named in guestDir/kernel with guestDir/initrd.gz (as
    // tests/vm/build-guest leaves them); QEMU's output and the guest's
    // console go to workDir. Returns once the agent answers; false with
    // *error otherwise.
    bool Boot(const std::string& qemu, const std::string& guestDir, const std::string& workDir,
              std::string* error);
    // Ends QEMU (through its monitor, else by a signal).
    void Shutdown();

    // The host side of a guest port, by its chardev label: "com1" (the
    // guest's ttyS0), "com2" (ttyS1), "usb" (the adapter, ttyUSB0, whose
    // USB serial number is kAdapterSerial, in the root hub's port 1).
    std::string HostSide(const std::string& label) const;

    // Files in the guest.
    bool Put(const std::string& guestPath, const std::string& data);
    bool Get(const std::string& guestPath, std::string* data);

    // Runs a script in the guest (/bin/sh, standard input /dev/null, output on
    // the console). Start sends it; Done tells, without waiting, whether it
    // has ended; Finish waits up to `seconds` for its exit status.
    bool Start(const std::string& script);
    bool Done();
    bool Finish(double seconds, int* status);
    bool Run(const std::string& script, double seconds, int* status);

    // The USB adapter leaves the guest's bus (it has gone once the guest's
    // controller has let go of it) and comes back, as a device re-enumerating.
    bool Unplug(std::string* error);
    bool Plug(std::string* error);

    // True once a request went unanswered after the boot: the guest is lost,
    // and every later request fails at once instead of waiting.
    bool Lost() const { return lost_; }

    // The guest's console log (kernel messages, the agent's notes).
    std::string ConsolePath() const { return workDir_ + "/console.log"; }

private:
    bool Qmp(const std::string& command, std::string* reply, std::string* error);
    bool QmpEvent(const std::string& name, double seconds);
    bool QmpLine(std::string* line, double deadline);
    bool Request(const std::string& head, const std::string& payload);
    bool Answer(double deadline, bool* ok, std::string* payload);
    bool Ping(int token, double seconds);

    pid_t qemu_ = -1;
    std::string workDir_;
    std::string socketDir_;  // short paths for the sockets, under /tmp
    int qmp_ = -1;
    std::string qmpBuffer_;
    std::vector<std::string> qmpEvents_;
    int agent_ = -1;
    std::string agentBuffer_;
    bool booted_ = false;
    bool lost_ = false;
    // Each port's pseudo-terminal, held open for the whole session so QEMU
    // counts it connected: otherwise what the guest sends between two
    // cases is dropped, and QEMU notices a new opener only once a second.
    std::vector<std::pair<std::string, std::string>> ports_;  // label, device
    std::vector<int> keepers_;
};
