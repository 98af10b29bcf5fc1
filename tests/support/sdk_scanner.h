// Driver scenarios on the simulated scanner: a driver folder, fake tools and a work folder in the
// test, and each scenario in a child process with one scanner attached and the driver copy loaded.
// For executables that link the simulated scanner (qv_add_test(... SIM)).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sdk_harness.h"
#include "sim_scanner.h"

namespace qvtest {

constexpr int kFingerReg = 0x1005;  // the scanner's finger-presence register: 1 placed, 0 lifted

// One capture of a generated finger as the scanner sends it (MJPEG).
std::vector<uint8_t> frame_of(int finger, int capture);

// How a scenario's child differs from the plain one.
struct ScannerChild {
    bool idle_frame = true;             // a capture of finger 99 while the register says no finger; false: none
    std::function<void()> before_load;  // runs just before the driver copy is loaded
    Env env;                            // after PATH, LANG and QV_FAKE_ALG
};

// The driver folder, fake tools and work folder of a test; it installs the recognition library it
// wants into d.
struct ScannerRig {
    explicit ScannerRig(const char* config, const char* work_tag = "alg");
    explicit ScannerRig(DriverDir::Installed installed);
    ~ScannerRig();
    ScannerRig(const ScannerRig&) = delete;
    ScannerRig& operator=(const ScannerRig&) = delete;

    // body runs in a child: udev lists a Quvera QVR610 (3a5c:0610) at video0, the simulated scanner
    // answers at /dev/video0 without a finger, the environment has bin first on PATH, LANG
    // en_US.UTF-8 and QV_FAKE_ALG = work. Status 77 when umockdev's preload is not active.
    ChildResult run_on_scanner(const std::function<void(void* handle, sim::Scanner& cam)>& body,
                               const ScannerChild& how = {}) const;

    DriverDir d;
    FakeBin bin;
    std::string work;  // ends with "/"; the scripted library's script and calls, and the test's files
};

// At most the first and the last 4000 characters of a child's output.
std::string clip(const std::string& out);

}  // namespace qvtest

#define SKIP_WITHOUT_BED(r)                                                  \
    do {                                                                     \
        if ((r).status == 77) GTEST_SKIP() << "umockdev preload not active"; \
        EXPECT_EQ((r).status, 0) << qvtest::clip((r).out);                   \
    } while (0)
