// Start-up, configuration, messages, supported devices and device counting of the driver interface.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fvdev.h"
#include "sdk_api.h"

namespace {

using qvtest::Api;
using qvtest::ChildResult;
using qvtest::DriverDir;
using qvtest::Env;
using qvtest::FakeBin;
using qvtest::today;

// Runs body with the library copy of d loaded; body prints its results with a leading "@".
ChildResult scenario(const DriverDir& d, const FakeBin& bin, const std::function<void(Api&, void*)>& body,
                     const char* lang = "en_US.UTF-8") {
    std::string path = bin.path_env();
    return qvtest::run_child(
        [&] {
            void* h = qvtest::load_driver(d);
            Api api(h);
            body(api, h);
            fflush(stdout);
            dlclose(h);
            return 0;
        },
        Env{{"PATH", path.c_str()}, {"LANG", lang}});
}

std::vector<std::string> results(const DriverDir& d, const FakeBin& bin, const std::function<void(Api&, void*)>& body,
                                 const char* lang = "en_US.UTF-8") {
    ChildResult r = scenario(d, bin, body, lang);
    EXPECT_EQ(r.status, 0) << r.out;
    return qvtest::results(r.out);
}

// "n: vid/pid/name ..." of what qvbio_get_support_devs copied; flags a write past the n-th record.
std::string support_devs(Api& api, int max) {
    dev_info_st devs[12];
    memset(devs, 0x5A, sizeof devs);
    int n = api.support_devs(devs, max);
    std::string s = std::to_string(n) + ":";
    for (int i = 0; i < n && i < 12; i++) {
        char buf[300];
        snprintf(buf, sizeof buf, " %04x/%04x/%s", devs[i].vid, devs[i].pid, devs[i].name);
        s += buf;
    }
    int first_untouched = n > 0 ? n : 0;
    if (first_untouched < 12 && devs[first_untouched].vid != 0x5A5A5A5A) s += " overrun";
    return s;
}

std::string cfg(const std::string& members) { return "{" + members + "}"; }

std::string str_to_lower_ascii(std::string s) {
    for (char& ch : s) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return s;
}

std::string full_config() { return qvtest::read_text(std::string(SOURCE_DIR) + "/qvfv_config/config.json"); }

TEST(BaseInfo, FilledWithoutInitialisation) {
    DriverDir d(nullptr);
    FakeBin bin;
    auto out = results(d, bin, [](Api& api, void*) {
        base_info_st info;
        memset(&info, 'x', sizeof info);
        int r = api.base_info(&info);
        printf("@%d|%s|%s|%d|%d|%c|%c\n", r, info.bio_name, info.bio_full_name, info.template_len, info.feature_len,
               info.bio_name[20], info.bio_full_name[259]);
        printf("@%d\n", api.base_info(nullptr));
    });
    EXPECT_EQ(out,
              (std::vector<std::string>{"0|quvera_fingervein|Quvera Finger vein: Quvera QVR610|3996|34384|x|x", "-3"}));
}

TEST(Init, MissingConfigurationThenFound) {
    DriverDir d(nullptr);
    FakeBin bin;
    ChildResult r = scenario(d, bin, [&](Api& api, void*) {
        char text[256] = "untouched";
        int a = api.init(nullptr, nullptr), b = api.support_devs(nullptr, 0), c = api.enum_device();
        printf("@%d %d %d\n", a, b, c);
        printf("@%d [%s]\n", api.code_info(-19, text), text);
        d.set_config(full_config());
        int ok = api.init(nullptr, nullptr);
        printf("@%d %d\n", ok, api.code_info(-19, text));
        printf("@%s\n", text);
    });
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> out = qvtest::results(r.out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], "-19 -19 -19");
    EXPECT_EQ(out[1], "0 []") << "texts are empty until the configuration is read";
    EXPECT_EQ(out[2], "0 30");
    EXPECT_EQ(out[3], "The driver is not initialised.");
    std::string missing = "the config file is not exist. [ " + d.config_path() + " ]";
    EXPECT_NE(r.out.find(" qvfv_sdk_cls "), std::string::npos);
    EXPECT_NE(r.out.find(missing), std::string::npos) << r.out;
    std::string fail_log = qvtest::read_text(d.log_dir() + "runlog_" + today() + "_.txt");
    EXPECT_NE(fail_log.find(missing), std::string::npos) << "logged forced";
    EXPECT_NE(fail_log.find("current system's language: [en_US.UTF-8]"), std::string::npos);
}

TEST(Init, FirstGetterStays) {
    DriverDir d;
    FakeBin bin;
    auto out = results(d, bin, [](Api& api, void*) {
        static std::string seen;
        auto first = [](const char* key, char* value, void* ctx) {
            seen += std::string("first:") + key + ":" + static_cast<const char*>(ctx) + ";";
            value[0] = 0;
            return 0;
        };
        auto second = [](const char* key, char*, void*) {
            seen += std::string("second:") + key + ";";
            return 0;
        };
        static char ctx[] = "ctx1";
        int a = api.init(first, ctx);
        int b = api.init(second, nullptr);
        printf("@%d %d\n", a, b);
        api.match("QUJD", "QUJD");
        printf("@%s\n", seen.c_str());
    });
    EXPECT_EQ(out, (std::vector<std::string>{"0 0", "first:MatchThreshold:ctx1;"}));
}

TEST(Config, SupportedDeviceRecords) {
    struct Case {
        std::string config;
        int max;
        std::string want;
        int count;  // qvbio_get_support_devs(NULL, 0)
    } cases[] = {
        {"{}", 12, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610", 2},
        {cfg("\"dev_vpid\": \"\""), 12, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610", 2},
        {"[]", 12, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610", 2},
        {"not json at all", 12, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610", 2},
        {cfg("\"dev_vpid\": [\"abcd:1234\"]"), 12, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610", 2},
        {cfg("\"dev_vpid\": \"abcd:1234,ABCD:00ff\""), 12, "2: abcd/1234/Quvera QVR610 abcd/00ff/Quvera QVR610", 2},
        {cfg("\"dev_vpid\": \"abcd:1234,ABCD:00ff\""), 1, "1: abcd/1234/Quvera QVR610", 2},
        {cfg("\"dev_vpid\": \"abcd:1234,ABCD:00ff\""), 0, "0:", 2},
        {cfg("\"dev_vpid\": \"abcd:1234,ABCD:00ff\""), -4, "0:", 2},
        {cfg("\"dev_vpid\": \"abcd:1234,\""), 12, "1: abcd/1234/Quvera QVR610", 1},
        {cfg("\"dev_vpid\": \"abcd:12zz,,x,abcd\""), 12, "1: abcd/abcd/Quvera QVR610", 1},
        {cfg("\"dev_vpid\": \"3a5c:0610, 3a5c:0611\""), 12, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610", 2},
        {cfg("\"dev_vpid\": \" abcd:1234 ,\\tabcd:00ff \""), 12, "2: abcd/1234/Quvera QVR610 abcd/00ff/Quvera QVR610",
         2},
        {cfg("\"dev_vpid\": \"  \""), 12, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610", 2},
    };
    for (const Case& c : cases) {
        DriverDir d(c.config.c_str());
        FakeBin bin;
        auto out = results(d, bin, [&](Api& api, void*) {
            printf("@%d\n", api.support_devs(nullptr, 0));
            printf("@%s\n", support_devs(api, c.max).c_str());
        });
        ASSERT_EQ(out.size(), 2u) << c.config;
        EXPECT_EQ(out[1], c.want) << c.config << " max " << c.max;
        EXPECT_EQ(out[0], std::to_string(c.count)) << c.config;
    }
}

TEST(Config, AtMostTenRecords) {
    std::string ids;
    for (int i = 0; i < 12; i++) ids += (i ? "," : "") + std::string("1234:00") + std::to_string(10 + i);
    DriverDir d(("{\"dev_vpid\": \"" + ids + "\"}").c_str());
    FakeBin bin;
    auto out = results(d, bin, [&](Api& api, void*) {
        printf("@%d\n", api.support_devs(nullptr, 0));
        dev_info_st devs[12];
        memset(devs, 0, sizeof devs);
        int n = api.support_devs(devs, 12);
        printf("@%d %04x %04x\n", n, devs[9].pid, devs[10].pid);
    });
    EXPECT_EQ(out, (std::vector<std::string>{"10", "10 0019 0000"}));
}

TEST(Config, DeviceObjectGetsTheWholeList) {
    struct Case {
        const char* ids;
        const char* want;
    } cases[] = {
        {"abcd:1234,ABCD:00ff,", "abcd:1234,ABCD:00ff,"},
        {" abcd:1234 ,ABCD:00ff, ", "abcd:1234,ABCD:00ff,"},
        {"3a5c:0610, 3a5c:0611", "3a5c:0610,3a5c:0611"},
        {" ", "3a5c:0610,3a5c:0611"},
    };
    for (const Case& c : cases) {
        DriverDir d(("{\"dev_vpid\": \"" + std::string(c.ids) + "\"}").c_str());
        FakeBin bin;
        auto out = results(d, bin, [](Api& api, void* h) {
            api.init(nullptr, nullptr);
            CFvdev* dev = qvtest::fn<CFvdev*>(h, "fvd");
            printf("@%s\n", dev->m_supDevIds.c_str());
        });
        EXPECT_EQ(out, std::vector<std::string>{c.want}) << c.ids;
    }
}

TEST(Config, LanguagePrefix) {
    DriverDir d(full_config().c_str());
    FakeBin bin;
    const char* zh = "操作超时。";
    const char* en = "The operation timed out.";
    const std::string long_zh = "zh_" + std::string(100000, 'x');
    struct Case {
        const char* lang;
        const char* want;
        std::string shown;  // in the forced language line
    } cases[] = {
        {"zh_CN.UTF-8", zh, "zh_CN.UTF-8"},
        {"zh_TW", zh, "zh_TW"},
        {"zh", en, "zh"},
        {"en_US.UTF-8", en, "en_US.UTF-8"},
        {"", en, ""},
        {nullptr, en, ""},
        // The variable as it is, never a shell's expansion of it: this one made the shell list the
        // whole file system.
        {"/*/*/*/*/*", en, "/*/*/*/*/*"},
        {"zh_CN $(touch /tmp/qv-lang)", zh, "zh_CN $(touch /tmp/qv-lang)"},
        {" zh_CN", en, " zh_CN"},
        {"zh_CN\n\x1b[2J", zh, "zh_CN\\x0A\\x1B[2J"},
        {long_zh.c_str(), zh, long_zh.substr(0, 64) + "..."},
    };
    for (const Case& c : cases) {
        ChildResult r = scenario(
            d, bin,
            [](Api& api, void*) {
                api.init(nullptr, nullptr);
                char text[256] = {};
                api.code_info(-13, text);
                printf("@%s\n", text);
            },
            c.lang);
        const char* name = c.lang ? c.lang : "(unset)";
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{c.want}) << name;
        size_t at = r.out.find("current system's language: [");
        ASSERT_NE(at, std::string::npos) << r.out;
        std::string line = r.out.substr(at, r.out.find('\n', at) - at);
        EXPECT_EQ(line, "current system's language: [" + c.shown + "]") << name;
    }
    EXPECT_FALSE(qvtest::exists("/tmp/qv-lang"));
}

TEST(Config, CodeMessages) {
    std::string long_text(300, 'L');
    std::string text = full_config();
    std::string file_msg = "A file cannot be read or written.";
    text.replace(text.find(file_msg), file_msg.size(), long_text);
    DriverDir d(text.c_str());
    FakeBin bin;
    auto out = results(d, bin, [](Api& api, void*) {
        api.init(nullptr, nullptr);
        struct {
            int code;
        } codes[] = {{-13}, {13}, {0}, {-99}, {99}, {-20}, {-98}, {100}, {-100}, {-2147483647 - 1}};
        for (auto c : codes) {
            char text[512];
            memset(text, '#', sizeof text);
            int n = api.code_info(c.code, text);
            printf("@%d %d %s\n", c.code, n, n > 0 || text[0] == 0 ? text : "(untouched)");
        }
        char big[512];
        int n = api.code_info(-18, big);
        printf("@%d %zu\n", n, strlen(big));
        printf("@%d\n", api.code_info(-13, nullptr));
    });
    EXPECT_EQ(out, (std::vector<std::string>{"-13 24 The operation timed out.", "13 24 The operation timed out.",
                                             "0 8 Success.", "-99 26 An unknown error occurred.",
                                             "99 26 An unknown error occurred.", "-20 0 ", "-98 0 ", "100 0 ",
                                             "-100 0 ", "-2147483648 0 ", "255 255", "-3"}));
}

TEST(Config, EnumDeviceCountsLsusbLines) {
    const std::string listing =
        "Bus 001 Device 002: ID 3a5c:0610 Quvera QVR610\n"
        "Bus 001 Device 003: ID 3a5c:0610 Quvera QVR610\n"
        "Bus 002 Device 004: ID 3a5c:0611 Quvera QVR611\n"
        "Bus 002 Device 005: ID 1d6b:0002 Linux Foundation 2.0 root hub\n";
    struct Case {
        std::string config;
        std::string listing;
        int want;
    } cases[] = {
        {"{}", listing, 3},
        {"{}", "", 0},
        {"{\"dev_vpid\": \"3a5c:0610\"}", listing, 2},
        {"{\"dev_vpid\": \"3A5C:0610\"}", listing, 0},   // ids compare case-sensitively
        {"{\"dev_vpid\": \"3a5c:0610,\"}", listing, 2},  // a trailing comma runs nothing more
        {"{\"dev_vpid\": \"3a5c:0610,1d6b:0002\"}", listing, 3},
        {"{\"dev_vpid\": \"3a5c:0610, 3a5c:0611\"}", listing, 3},  // blanks around the ids are dropped
    };
    for (const Case& c : cases) {
        DriverDir d(c.config.c_str());
        FakeBin bin;
        bin.set_lsusb(c.listing);
        auto out = results(d, bin, [](Api& api, void*) { printf("@%d\n", api.enum_device()); });
        EXPECT_EQ(out, std::vector<std::string>{std::to_string(c.want)}) << c.config;
    }
}

// An id written in upper case still makes its record but can never match a device (udev and lsusb
// show ids in lower case): one forced line at the configuration's reading names each such entry.
TEST(Config, UpperCaseIdsAreNamed) {
    struct Case {
        const char* ids;
        std::vector<std::string> named;
        const char* records;
    } cases[] = {
        {"abcd:1234,ABCD:00ff", {"ABCD:00ff"}, "2: abcd/1234/Quvera QVR610 abcd/00ff/Quvera QVR610"},
        {"3A5c:0610, Abc:1 ,zz:1", {"3A5c:0610", "Abc:1"}, "2: 3a5c/0610/Quvera QVR610 0abc/0001/Quvera QVR610"},
        {"3a5c:0610,3a5c:0611", {}, "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610"},
    };
    for (const Case& c : cases) {
        DriverDir d(("{\"dev_vpid\": \"" + std::string(c.ids) + "\"}").c_str());
        FakeBin bin;
        bin.set_lsusb("Bus 001 Device 002: ID 3a5c:0610 Quvera QVR610\nBus 001 Device 003: ID abcd:00ff X\n");
        ChildResult r = scenario(d, bin, [](Api& api, void*) {
            api.init(nullptr, nullptr);
            int n = api.enum_device();
            printf("@%d %s\n", n, support_devs(api, 12).c_str());
        });
        int want = std::string(c.ids) == "3a5c:0610,3a5c:0611" ? 1 : 0;
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{std::to_string(want) + " " + c.records}) << c.ids;
        std::string log = qvtest::read_text(d.log_dir() + "runlog_" + today() + "_.txt");
        size_t lines = 0;
        for (size_t p = log.find("has upper-case letters"); p != std::string::npos;
             p = log.find("has upper-case letters", p + 1))
            lines++;
        EXPECT_EQ(lines, c.named.size()) << c.ids << "\n" << log;
        for (const std::string& id : c.named)
            EXPECT_NE(log.find("supported device id [" + id + "] has upper-case letters, no device matches it"),
                      std::string::npos)
                << id << "\n"
                << log;
        for (const std::string& call : bin.calls("lsusb"))
            EXPECT_EQ(call, str_to_lower_ascii(call)) << "lsusb is given ids in lower case only";
    }
}

TEST(Config, LsusbGetsOnlyWellFormedIdsAsArguments) {
    DriverDir d("{\"dev_vpid\": \"3a5c:0610,3a5c:0611;touch /tmp/qv-pwned-by-config,x,,abcd:12345\"}");
    FakeBin bin;
    bin.set_lsusb("Bus 001 Device 002: ID 3a5c:0610 Quvera QVR610\n");
    auto out = results(d, bin, [](Api& api, void*) { printf("@%d\n", api.enum_device()); });
    EXPECT_EQ(out, std::vector<std::string>{"1"});
    EXPECT_EQ(bin.calls("lsusb"), std::vector<std::string>{"-d 3a5c:0610"});
    EXPECT_FALSE(qvtest::exists("/tmp/qv-pwned-by-config"));
}

TEST(Config, EnumDeviceWithoutLsusb) {
    DriverDir d;
    FakeBin bin;
    unlink((bin.dir + "lsusb").c_str());
    ChildResult r = qvtest::run_child(
        [&] {
            Api api(qvtest::load_driver(d));
            printf("@%d\n", api.enum_device());
            return 0;
        },
        Env{{"PATH", bin.dir.c_str()}});
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0"});
    // Said once, forced: a count of 0 that only means "no lsusb" must not pass for "no device".
    const std::string line = "cannot run lsusb, attached devices are not counted";
    size_t first = r.out.find(line);
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(line, first + 1), std::string::npos) << r.out;
    EXPECT_NE(qvtest::read_text(d.log_dir() + "runlog_" + today() + "_.txt").find(line), std::string::npos);
}

TEST(Config, EnumDeviceRunsLsusbOnlyForTheRecords) {
    // Twelve ids between pieces that become no record: only the first ten ids are looked up.
    std::string ids = "x,,";
    std::string listing;
    for (int i = 0; i < 12; i++) {
        std::string id = "1234:00" + std::to_string(10 + i);
        ids += id + (i % 3 == 0 ? ",zz:1," : ",");
        listing += "Bus 001 Device 0" + std::to_string(10 + i) + ": ID " + id + " Quvera QVR610\n";
    }
    DriverDir d(("{\"dev_vpid\": \"" + ids + "\"}").c_str());
    FakeBin bin;
    bin.set_lsusb(listing);
    auto out =
        results(d, bin, [](Api& api, void*) { printf("@%d %d\n", api.enum_device(), api.support_devs(nullptr, 0)); });
    EXPECT_EQ(out, std::vector<std::string>{"10 10"});
    std::vector<std::string> calls = bin.calls("lsusb");
    ASSERT_EQ(calls.size(), 10u);
    EXPECT_EQ(calls.front(), "-d 1234:0010");
    EXPECT_EQ(calls.back(), "-d 1234:0019");
}

// What the driver makes of whatever stands at the configuration's path: a regular file of at most
// 1 MiB is read; anything else is a damaged configuration, read as one without any key.
TEST(Config, OnlyABoundedRegularFileIsRead) {
    const std::string doc = "{\"dev_vpid\": \"abcd:1234\", \"en_ret_err_init\": \"not ready\"}";
    auto padded = [&](size_t size) { return doc + std::string(size - doc.size(), ' '); };
    const std::string configured = "1: abcd/1234/Quvera QVR610|not ready";
    const std::string defaults = "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610|";
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;
        std::string want;
        bool damaged;
    } cases[] = {
        {"document", [&](const std::string& p) { qvtest::write_text(p, doc); }, configured, false},
        {"exactly 1 MiB", [&](const std::string& p) { qvtest::write_text(p, padded(1048576)); }, configured, false},
        {"one byte more", [&](const std::string& p) { qvtest::write_text(p, padded(1048577)); }, defaults, true},
        {"10 MB", [&](const std::string& p) { qvtest::write_text(p, padded(10000000)); }, defaults, true},
        {"link to a document",
         [&](const std::string& p) {
             qvtest::write_text(p + ".real", doc);
             EXPECT_EQ(symlink((p + ".real").c_str(), p.c_str()), 0);
         },
         configured, false},
        {"FIFO", [](const std::string& p) { EXPECT_EQ(mkfifo(p.c_str(), 0644), 0); }, defaults, true},
        {"link to /dev/zero", [](const std::string& p) { EXPECT_EQ(symlink("/dev/zero", p.c_str()), 0); }, defaults,
         true},
        {"directory", [](const std::string& p) { EXPECT_EQ(mkdir(p.c_str(), 0755), 0); }, defaults, true},
        {"cut short", [&](const std::string& p) { qvtest::write_text(p, doc.substr(0, doc.size() - 1)); }, defaults,
         true},
        {"empty", [](const std::string& p) { qvtest::write_text(p, ""); }, defaults, true},
    };
    for (const Case& c : cases) {
        DriverDir d(nullptr);
        FakeBin bin;
        c.make(d.config_path());
        ChildResult r = scenario(d, bin, [](Api& api, void*) {
            alarm(30);  // a read that blocks ends the child instead of the test run
            char text[256] = {};
            int a = api.init(nullptr, nullptr);
            api.code_info(-19, text);
            printf("@%d %s|%s\n", a, support_devs(api, 12).c_str(), text);
        });
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 " + c.want}) << c.name;
        const std::string line = "the config file is damaged, the defaults are used. [ " + d.config_path() + " ]";
        std::string log = qvtest::read_text(d.log_dir() + "runlog_" + today() + "_.txt");
        EXPECT_EQ(log.find(line) != std::string::npos, c.damaged) << c.name << "\n" << log;
        unlink((d.config_path() + ".real").c_str());
        rmdir(d.config_path().c_str());
    }
}

// Whoever can write the configuration chooses the camera taken for the scanner: a file or folder
// that another user could replace is a damaged configuration, and the line says which and why.
TEST(Config, ConfigurationOthersCouldReplaceIsNotRead) {
    const std::string doc = "{\"dev_vpid\": \"abcd:1234\", \"en_ret_err_init\": \"not ready\"}";
    const std::string configured = "1: abcd/1234/Quvera QVR610|not ready";
    const std::string defaults = "2: 3a5c/0610/Quvera QVR610 3a5c/0611/Quvera QVR610|";
    auto mode = [](const char* rel, mode_t m) {
        return [=](const DriverDir& d) { EXPECT_EQ(chmod((d.root + rel).c_str(), m), 0) << rel; };
    };
    auto owner = [](const char* rel) {
        return [=](const DriverDir& d) { EXPECT_EQ(chown((d.root + rel).c_str(), 12345, -1), 0) << rel; };
    };
    struct Case {
        const char* name;
        std::function<void(const DriverDir&)> spoil;
        const char* why;  // "" for a configuration that is read; "@" stands for the driver folder
        bool needs_root;
    } cases[] = {
        {"as installed", mode("qvfv_config/config.json", 0644), "", false},
        {"read-only for everyone", mode("qvfv_config/config.json", 0444), "", false},
        {"file writable by others", mode("qvfv_config/config.json", 0666),
         "@qvfv_config/config.json is writable by others", false},
        {"file writable by its group", mode("qvfv_config/config.json", 0664),
         "@qvfv_config/config.json is writable by its group", false},
        {"folder writable by others", mode("qvfv_config", 0777), "@qvfv_config/ is writable by others", false},
        {"sticky folder writable by others", mode("qvfv_config", 01777), "@qvfv_config/ is writable by others", false},
        {"folder writable by its group", mode("qvfv_config", 0775), "@qvfv_config/ is writable by its group", false},
        {"driver folder writable by others", mode("", 0777), "@ is writable by others", false},
        {"link to a file others may write",
         [](const DriverDir& d) {
             std::string p = d.config_path();
             EXPECT_EQ(rename(p.c_str(), (p + ".real").c_str()), 0);
             EXPECT_EQ(chmod((p + ".real").c_str(), 0666), 0);
             EXPECT_EQ(symlink((p + ".real").c_str(), p.c_str()), 0);
         },
         "@qvfv_config/config.json is writable by others", false},
        {"file owned by another user", owner("qvfv_config/config.json"),
         "@qvfv_config/config.json is owned by another user (uid 12345)", true},
        {"folder owned by another user", owner("qvfv_config"), "@qvfv_config/ is owned by another user (uid 12345)",
         true},
    };
    for (const Case& c : cases) {
        if (c.needs_root && geteuid() != 0) continue;  // only root can give a file away
        DriverDir d(doc.c_str());
        FakeBin bin;
        c.spoil(d);
        ChildResult r = scenario(d, bin, [](Api& api, void*) {
            char text[256] = {};
            int a = api.init(nullptr, nullptr);
            api.code_info(-19, text);
            printf("@%d %s|%s\n", a, support_devs(api, 12).c_str(), text);
        });
        chmod(d.root.c_str(), 0700);
        chmod((d.root + "qvfv_config").c_str(), 0755);
        std::string why = c.why;
        if (!why.empty()) why.replace(why.find('@'), 1, d.root);
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 " + (why.empty() ? configured : defaults)})
            << c.name;
        const std::string line = "the config file is damaged, the defaults are used. [ " + d.config_path() + " ] ";
        std::string log = qvtest::read_text(d.log_dir() + "runlog_" + today() + "_.txt");
        if (why.empty())
            EXPECT_EQ(log.find(line), std::string::npos) << c.name << "\n" << log;
        else
            EXPECT_NE(log.find(line + why + "\n"), std::string::npos) << c.name << "\n" << log;
        unlink((d.config_path() + ".real").c_str());
    }
}

TEST(Config, CodeTextsAreCutAtACharacterBoundary) {
    auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; i++) out += s;
        return out;
    };
    struct Case {
        std::string text;
        size_t want;  // bytes copied
    } cases[] = {
        {std::string(300, 'L'), 255},
        {repeat("\xC3\xA9", 200), 254},            // 2-byte characters: 255 would split one
        {"a" + repeat("\xE6\x93\x8D", 100), 253},  // 3-byte characters after one ASCII byte
        {"ab" + repeat("\xE6\x93\x8D", 100), 254},
        {"abc" + repeat("\xE6\x93\x8D", 100), 255},  // 255 falls on a boundary
        {repeat("\xF0\x9F\x98\x80", 100), 252},      // 4-byte characters
        {repeat("\xE6\x93\x8D", 85), 255},           // exactly 255 bytes: nothing to cut
    };
    for (const Case& c : cases) {
        DriverDir d(("{\"en_ret_err_file\": \"" + c.text + "\"}").c_str());
        FakeBin bin;
        auto out = results(d, bin, [](Api& api, void*) {
            api.init(nullptr, nullptr);
            char buf[512];
            memset(buf, '#', sizeof buf);
            int n = api.code_info(-18, buf);
            printf("@%d %zu %s\n", n, strlen(buf), buf);
        });
        std::string want = c.text.substr(0, c.want);
        EXPECT_EQ(out, std::vector<std::string>{std::to_string(c.want) + " " + std::to_string(c.want) + " " + want})
            << c.want;
    }
}

TEST(Config, OddSoundModesAndDocumentsStillInitialise) {
    const char* configs[] = {
        "{\"play_sound\": \"abc\"}",        "{\"play_sound\": [2]}", "[]", "", "{\"dev_vpid\": [5]}",
        "{\"en_ret_err_init\": {\"a\": 1}}"};
    for (const char* c : configs) {
        DriverDir d(c);
        FakeBin bin;
        auto out = results(d, bin, [](Api& api, void*) {
            char text[256] = "x";
            int a = api.init(nullptr, nullptr);
            int b = api.support_devs(nullptr, 0);
            printf("@%d %d %d\n", a, b, api.code_info(-19, text));
        });
        EXPECT_EQ(out, std::vector<std::string>{"0 2 0"}) << c;
    }
}

TEST(Lifecycle, OperationsBeforeInitialisation) {
    DriverDir d;
    FakeBin bin;
    auto out = results(d, bin, [](Api& api, void*) {
        static int calls = 0;
        auto cb = [](int, const char*, void*) { calls++; };
        char buf[64] = {};
        int o = api.open(), e = api.enroll(buf, cb, nullptr), c = api.capture(buf, cb, nullptr);
        printf("@%d %d %d %d\n", o, e, c, api.match("QUJD", "QUJD"));
        int s = api.stop(), cl = api.close(), f = api.free_();
        printf("@%d %d %d calls=%d\n", s, cl, f, calls);
        printf("@%d\n", api.init(nullptr, nullptr));
        e = api.enroll(buf, cb, nullptr);
        c = api.capture(nullptr, cb, nullptr);
        printf("@%d %d %d\n", e, c, calls);
    });
    EXPECT_EQ(out, (std::vector<std::string>{"-19 -19 -19 -19", "0 0 0 calls=0", "0", "-19 -19 0"}));
}

}  // namespace
