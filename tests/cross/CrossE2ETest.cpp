// Runs every end-to-end case against the arm64 and armhf builds of tessan
// under qemu-user, with the native tessan-sim as the device, one transfer
// over each network scheme through ser2net (rfc2217+tls:// through its TLS
// accepter among them), and one through each of the three RFC 2217 servers.
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../e2e/CaseCheck.h"
#include "../e2e/Cases.h"
#include "../net/NetRunner.h"
#include "../net/Ser2net.h"
#include "../net/ThreeServers.h"

namespace {

struct Architecture {
    const char* name;     // Debian's name, which the test names carry
    const char* qemu;     // Debian's qemu-user-static program for it
    const char* libRoot;  // the cross compiler's libraries, qemu's -L root
    const char* exe;      // the build of tessan under test
};

// The runner starts qemu itself, with the loader and libraries of the cross
// compiler's root, rather than the ARM program: a machine without
// binfmt_misc (a CI container) cannot start an ARM program directly.
const Architecture kArchitectures[] = {
    {"Arm64", "/usr/bin/qemu-aarch64-static", "/usr/aarch64-linux-gnu", TESSAN_ARM64_EXE},
    {"Armhf", "/usr/bin/qemu-arm-static", "/usr/arm-linux-gnueabihf", TESSAN_ARMHF_EXE},
};

// The tool's port is the sim's pty path, as natively; only the command
// that starts the tool differs.
Runner QemuRunner(const Architecture& a) {
    Runner r = NativeRunner();
    r.label = a.name;
    r.prefix = {a.qemu, "-L", a.libRoot, a.exe};
    return r;
}

const Runner& RunnerFor(size_t arch, int network) {
    // network: 0 the pty itself, 1 over rfc2217://, 2 over socket://,
    // 3 over rfc2217+tls://.
    static const Runner runners[2][4] = {
        {QemuRunner(kArchitectures[0]), OverNetwork(QemuRunner(kArchitectures[0]), true),
         OverNetwork(QemuRunner(kArchitectures[0]), false), OverTlsNetwork(QemuRunner(kArchitectures[0]), true)},
        {QemuRunner(kArchitectures[1]), OverNetwork(QemuRunner(kArchitectures[1]), true),
         OverNetwork(QemuRunner(kArchitectures[1]), false), OverTlsNetwork(QemuRunner(kArchitectures[1]), true)},
    };
    return runners[arch][network];
}

// Why the cases of architecture `arch` cannot run here ("" when they can):
// the build or qemu is missing.
std::string MissingCrossBuild(size_t arch) {
    const Architecture& a = kArchitectures[arch];
    struct stat s;
    if (stat(a.exe, &s) != 0 || !S_ISREG(s.st_mode)) {
        return std::string("no ") + a.name + " build at " + a.exe + " (scripts/package builds it)";
    }
    if (access(a.qemu, X_OK) != 0) {
        return std::string("no ") + a.qemu + " (package qemu-user-static; scripts/test installs it)";
    }
    return "";
}

#define REQUIRE_CROSS_BUILD(arch)                                    \
    do {                                                             \
        std::string missing = MissingCrossBuild(arch);               \
        if (!missing.empty()) GTEST_SKIP() << missing;               \
    } while (0)

class CrossE2E : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {};
class CrossNetE2E : public ::testing::TestWithParam<std::tuple<size_t, int>> {};

}  // namespace

TEST_P(CrossE2E, Run) {
    const size_t arch = std::get<0>(GetParam());
    REQUIRE_CROSS_BUILD(arch);
    const size_t index = std::get<1>(GetParam());
    RunCase(RunnerFor(arch, 0), AllCases()[index], static_cast<int>(index));
}

INSTANTIATE_TEST_SUITE_P(Case, CrossE2E,
                         ::testing::Combine(::testing::Range<size_t>(0, 2),
                                            ::testing::Range<size_t>(0, AllCases().size())),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, size_t>>& info) {
                             return std::string(kArchitectures[std::get<0>(info.param)].name) + "_" +
                                    AllCases()[std::get<1>(info.param)].name;
                         });

// The network ports' code runs in every case of the net and Wine stages;
// here one whole transfer over each scheme shows it works in the ARM builds
// too (byte order, 32-bit sizes, their architecture's libssl).
TEST_P(CrossNetE2E, NineRecords) {
    const size_t arch = std::get<0>(GetParam());
    REQUIRE_CROSS_BUILD(arch);
    if (std::get<1>(GetParam()) == 3) {
        REQUIRE_SER2NET_TLS();
    } else {
        REQUIRE_SER2NET();
    }
    const std::vector<E2ECase> cases = AllCases();
    size_t index = 0;
    while (index < cases.size() && cases[index].name != "NineRecords") ++index;
    ASSERT_LT(index, cases.size()) << "the case list has no NineRecords";
    RunCase(RunnerFor(arch, std::get<1>(GetParam())), cases[index], 0);
}

const char* const kSchemeNames[] = {"", "_Rfc2217", "_Socket", "_Rfc2217Tls"};

INSTANTIATE_TEST_SUITE_P(Scheme, CrossNetE2E,
                         ::testing::Combine(::testing::Range<size_t>(0, 2), ::testing::Range(1, 4)),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, int>>& info) {
                             return std::string(kArchitectures[std::get<0>(info.param)].name) +
                                    kSchemeNames[std::get<1>(info.param)];
                         });

class CrossThreeServers : public ::testing::TestWithParam<size_t> {};

TEST_P(CrossThreeServers, TheSameTransferThroughEachServer) {
    REQUIRE_CROSS_BUILD(GetParam());
    REQUIRE_SER2NET();
    REQUIRE_OTHER_SERVERS();
    TransferThroughEachServer(RunnerFor(GetParam(), 0));
}

INSTANTIATE_TEST_SUITE_P(Architecture, CrossThreeServers, ::testing::Range<size_t>(0, 2),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(kArchitectures[info.param].name);
                         });
