// devprobe against a driver folder, with the tools it reaches replaced on PATH.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>

#include "sdk_harness.h"

namespace {

using qvtest::ChildResult;
using qvtest::DriverDir;
using qvtest::FakeBin;

ChildResult probe(const DriverDir& d, const FakeBin& bin) {
    return qvtest::run_program({DEVPROBE_PATH},
                               {"LD_LIBRARY_PATH=" + d.root, "PATH=" + bin.path_env(), "LANG=en_US.UTF-8"});
}

std::vector<std::string> own_lines(const std::string& out) {
    std::vector<std::string> r;
    for (const std::string& l : qvtest::split_lines(out))
        if (l.rfind("getuid ret", 0) == 0 || l.rfind("enum_device ret", 0) == 0) r.push_back(l);
    return r;
}

TEST(Devprobe, OneScannerAttached) {
    DriverDir d;
    FakeBin bin;
    bin.set_lsusb("Bus 001 Device 002: ID 3a5c:0610 Quvera QVR610\n");
    ChildResult r = probe(d, bin);
    EXPECT_EQ(r.status, 0) << r.out;
    std::string uid = std::to_string(getuid());
    EXPECT_EQ(own_lines(r.out), (std::vector<std::string>{"getuid ret [" + uid + "] [quvera_fingervein]",
                                                          "enum_device ret [1] [quvera_fingervein]"}));
    // The driver's own lines come between the two: the language line and one per supported id.
    std::vector<std::string> lines = qvtest::split_lines(r.out);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines.front().rfind("getuid ret", 0), 0u);
    EXPECT_EQ(lines.back().rfind("enum_device ret", 0), 0u);
    EXPECT_NE(r.out.find("current system's language: [en_US.UTF-8]"), std::string::npos);
    EXPECT_NE(r.out.find("Vidpid of supported devices: [3a5c:0611]"), std::string::npos);
    // The forced language line reaches the driver's failure log.
    time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    char day[16];
    strftime(day, sizeof day, "%Y%m%d", &t);
    std::string log = qvtest::read_text(d.log_dir() + "runlog_" + day + "_.txt");
    EXPECT_NE(log.find("current system's language: [en_US.UTF-8]"), std::string::npos) << log;
}

TEST(Devprobe, NoScannerOrNoLsusb) {
    DriverDir d;
    FakeBin bin;
    ChildResult r = probe(d, bin);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(own_lines(r.out).back(), "enum_device ret [0] [quvera_fingervein]");
    unlink((bin.dir + "lsusb").c_str());
    r = probe(d, bin);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(own_lines(r.out).back(), "enum_device ret [0] [quvera_fingervein]");
}

TEST(Devprobe, MissingConfiguration) {
    DriverDir d(nullptr);
    FakeBin bin;
    ChildResult r = probe(d, bin);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(own_lines(r.out).back(), "enum_device ret [-19] [quvera_fingervein]");
    EXPECT_NE(r.out.find("the config file is not exist. [ " + d.config_path() + " ]"), std::string::npos);
}

}  // namespace
