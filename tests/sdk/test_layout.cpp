// What the deliverables export and link, the installed layout, and the shipped configuration.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "command_output.h"
#include "sdk_harness.h"

namespace {

// name -> nm type letter of the defined dynamic symbols.
std::map<std::string, char> dynamic_symbols(const std::string& lib) {
    std::map<std::string, char> syms;
    for (const std::string& l : qvtest::split_lines(qvtest::command_output("nm -D --defined-only '" + lib + "'"))) {
        // "<address> <type> <name>"
        size_t a = l.find(' ');
        if (a == std::string::npos || a + 3 > l.size()) continue;
        syms[l.substr(a + 3)] = l[a + 1];
    }
    return syms;
}

TEST(Exports, DriverInterfaceAndData) {
    auto syms = dynamic_symbols(VEINSDK_PATH);
    ASSERT_FALSE(syms.empty()) << "nm is needed (binutils)";
    for (const char* f :
         {"qvbio_init", "qvbio_free", "qvbio_get_base_info", "qvbio_get_support_devs", "qvbio_enum_device",
          "qvbio_open_device", "qvbio_close_device", "qvbio_enroll_templet", "qvbio_capture_feature", "qvbio_stop_work",
          "qvbio_match_feature", "qvbio_get_code_info", "fvd_setsupdevids", "fvd_opendevice", "fvd_captureimg"})
        EXPECT_EQ(syms[f], 'T') << f;
    for (const char* v : {"sdk_version", "B64EnTblX", "B64DeTblX"}) EXPECT_EQ(syms[v], 'D') << v;
    for (const char* v : {"fvsdk", "fvd"}) EXPECT_TRUE(syms[v] == 'B' || syms[v] == 'D') << v;
    // Utilities and class methods carry their parameter types.
    for (const char* f :
         {"_Z9str_splitNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES4_", "_Z10str_formatB5cxx11PKcz",
          "_Z10is_timeoutRli", "_Z8qv_sleepi", "_Z10file_existPKc", "_Z8GetEnLeni", "_Z8DeBase64PcPhRi",
          "_ZN13CQvfv_sdk_cls8init_sdkEPFiPKcPcPvES3_", "_ZN13CQvfv_sdk_cls9capturimgEPc",
          "_ZN13CQvfv_sdk_cls9setdevidxEi", "_ZN6CFvdev12setsupdevidsEPKc"})
        EXPECT_EQ(syms[f], 'T') << f;
    // Internals stay hidden.
    for (const auto& s : syms) {
        EXPECT_EQ(s.first.find("get_config"), std::string::npos) << s.first;
        EXPECT_EQ(s.first.find("run_argv"), std::string::npos) << s.first;
        EXPECT_EQ(s.first.find("play_sndhint"), std::string::npos) << s.first;
    }
}

TEST(Exports, LinkingOfTheDeliverables) {
    std::string sdk = qvtest::command_output(std::string("readelf -d '") + VEINSDK_PATH + "'");
    EXPECT_NE(sdk.find("Library soname: [libveinsdk.so]"), std::string::npos) << sdk;
    std::string probe = qvtest::command_output(std::string("readelf -d '") + DEVPROBE_PATH + "'");
    EXPECT_NE(probe.find("Shared library: [libveinsdk.so]"), std::string::npos) << probe;
    EXPECT_NE(probe.find("Library runpath: [/usr/lib/biometric-authentication/drivers/extra/quvera-fingervein]"),
              std::string::npos)
        << probe;
}

TEST(Install, DriverFolderLayout) {
    std::string stage = qvtest::make_temp_dir("stage");
    std::string drv = stage + "usr/lib/biometric-authentication/drivers/extra/quvera-fingervein/";
    // Over an older install that left runlog/ world-writable.
    qvtest::command_output("mkdir -p '" + drv + "runlog' && chmod 01777 '" + drv + "runlog'");
    std::string out =
        qvtest::command_output("DESTDIR='" + stage + "' cmake --install '" + BINARY_DIR + "' --prefix /usr 2>&1");
    for (const std::string& f : {drv + "libveinsdk.so", drv + "libs/libveinalg_x86.so", drv + "qvfv_config/config.json",
                                 drv + "sndfiles/press_finger.wav", stage + "usr/bin/devprobe"})
        EXPECT_TRUE(qvtest::exists(f)) << f << "\n" << out;
    for (const char* s : qvtest::kSoundFiles) EXPECT_TRUE(qvtest::exists(drv + "sndfiles/" + s)) << s;
    EXPECT_EQ(qvtest::command_output("ls -A '" + drv + "sndfiles' | wc -l"), "16\n") << "only the sixteen event sounds";
    // The installed program finds the installed library through its run path.
    std::string probe = qvtest::command_output("readelf -d '" + stage + "usr/bin/devprobe'");
    EXPECT_NE(probe.find("Shared library: [libveinsdk.so]"), std::string::npos) << probe;
    EXPECT_NE(probe.find("Library runpath: [/usr/lib/biometric-authentication/drivers/extra/quvera-fingervein]"),
              std::string::npos)
        << probe;
    EXPECT_NE(qvtest::command_output("readelf -d '" + drv + "libveinsdk.so'").find("Library soname: [libveinsdk.so]"),
              std::string::npos);
    struct stat st {};
    // The recognition library is loaded from here and the logs hold scores and ids: nobody else
    // may write to these folders.
    for (const std::string& dir : {drv, drv + "libs", drv + "qvfv_config", drv + "sndfiles", drv + "runlog"}) {
        ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
    }
    ASSERT_EQ(stat((drv + "libs/libveinalg_x86.so").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022, 0u);
    qvtest::remove_tree(stage);
}

// The build's own prefix (/usr unless the build was given another), as the README's install lines use it.
TEST(Install, ComponentsInstallTheDriverFolderAndTheToolApart) {
    const std::string prefix = std::string(INSTALL_PREFIX).substr(1) + "/";
    const std::string drv = prefix + "lib/biometric-authentication/drivers/extra/quvera-fingervein/";
    struct Case {
        const char* component;
        std::vector<std::string> some_files;
        int files;  // everything the component installs
    };
    const Case cases[] = {
        {"driver", {drv + "libveinsdk.so", drv + "libs/libveinalg_x86.so", drv + "qvfv_config/config.json"}, 19},
        {"tools", {prefix + "bin/devprobe"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.component);
        std::string stage = qvtest::make_temp_dir(c.component);
        std::string out = qvtest::command_output("DESTDIR='" + stage + "' cmake --install '" + BINARY_DIR +
                                                 "' --component " + c.component + " 2>&1");
        for (const std::string& f : c.some_files) EXPECT_TRUE(qvtest::exists(stage + f)) << f << "\n" << out;
        EXPECT_EQ(qvtest::command_output("find '" + stage + "' -type f | wc -l"), std::to_string(c.files) + "\n")
            << qvtest::command_output("find '" + stage + "' -type f");
        qvtest::remove_tree(stage);
    }
}

TEST(Install, InstalledProbeRunsOnTheInstalledDriver) {
    std::string stage = qvtest::make_temp_dir("probe");
    std::string out = qvtest::command_output("DESTDIR='" + stage + "' cmake --install '" + BINARY_DIR + "' 2>&1");
    const std::string root = stage + std::string(INSTALL_PREFIX).substr(1) + "/";
    const std::string drv = root + "lib/biometric-authentication/drivers/extra/quvera-fingervein";
    qvtest::FakeBin bin;
    bin.set_lsusb("Bus 001 Device 002: ID 3a5c:0610 Quvera QVR610\n");
    // The staged folder stands in for the run path's.
    qvtest::ChildResult r =
        qvtest::run_program({root + "bin/devprobe"}, {"LD_LIBRARY_PATH=" + drv, "PATH=" + bin.path_env()});
    EXPECT_EQ(r.status, 0) << r.out << out;
    EXPECT_NE(r.out.find("enum_device ret [1] [quvera_fingervein]"), std::string::npos) << r.out;
    qvtest::remove_tree(stage);
}

TEST(Install, ShippedConfiguration) {
    Json::Value root;
    Json::Reader reader;
    ASSERT_TRUE(reader.parse(qvtest::read_text(std::string(SOURCE_DIR) + "/qvfv_config/config.json"), root));
    EXPECT_EQ(root["dev_vpid"].asString(), "3a5c:0610,3a5c:0611");
    EXPECT_EQ(root["play_sound"].asString(), "1");
    const char* keys[] = {"ret_err_succ",   "ret_err_fail",     "ret_err_check",   "ret_err_param",   "ret_err_nofeat",
                          "ret_err_nodest", "ret_err_notsame",  "ret_err_match",   "ret_err_memory",  "ret_err_flash",
                          "ret_err_sensor", "ret_err_raise",    "ret_err_nsupp",   "ret_err_timeout", "ret_err_isbusy",
                          "ret_err_nodev",  "ret_err_fewpoint", "ret_err_cancel",  "ret_err_file",    "ret_err_init",
                          "ret_err_other",  "enroll_start",     "enroll_succ",     "enroll_fail",     "enroll_error",
                          "enroll_cancel",  "enroll_timeotu",   "capture_start",   "capture_succ",    "capture_fail",
                          "capture_error",  "capture_cancel",   "capture_timeout", "press_finger",    "raise_finger",
                          "match_succ",     "match_fail"};
    for (const char* k : keys) {
        std::string en = root[std::string("en_") + k].asString();
        std::string zh = root[std::string("zh_") + k].asString();
        EXPECT_FALSE(en.empty()) << k;
        EXPECT_FALSE(zh.empty()) << k;
        EXPECT_LT(en.size(), 256u) << k;
        EXPECT_LT(zh.size(), 256u) << k;
        bool wide = false;
        for (unsigned char c : zh) wide = wide || c >= 0x80;
        EXPECT_TRUE(wide) << "the zh_ text is Chinese: " << k;
    }
    EXPECT_EQ(root.size(), 2u + 2 * (sizeof keys / sizeof keys[0]));
}

}  // namespace
