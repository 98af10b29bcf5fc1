// Start-up, configuration, messages, supported devices and device counting of the driver interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fvdev.h"
#include "sdk_api.h"

namespace {

using qvtest::Api;
using qvtest::ChildResult;
using qvtest::DriverDir;
using qvtest::FakeBin;

using Env = std::vector<std::pair<std::string, const char*>>;

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

std::vector<std::string> results(const DriverDir& d, const FakeBin& bin,
                                 const std::function<void(Api&, void*)>& body, const char* lang = "en_US.UTF-8") {
    ChildResult r = scenario(d, bin, body, lang);
    EXPECT_EQ(r.status, 0) << r.out;
    return qvtest::results(r.out);
}

std::string today() {
    time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    char buf[16];
    strftime(buf, sizeof buf, "%Y%m%d", &t);
    return buf;
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

std::string full_config() { return qvtest::read_text(std::string(SOURCE_DIR) + "/qvfv_config/config.json"); }

TEST(BaseInfo, FilledWithoutInitialisation) {
    DriverDir d(nullptr);
    FakeBin bin;
    auto out = results(d, bin, [](Api& api, void*) {
        base_info_st info;
        memset(&info, 'x', sizeof info);
        int r = api.base_info(&info);
        printf("@%d|%s|%s|%d|%d|%c|%c\n", r, info.bio_name, info.bio_full_name, info.template_len,
               info.feature_len, info.bio_name[20], info.bio_full_name[259]);
        printf("@%d\n", api.base_info(nullptr));
    });
    EXPECT_EQ(out, (std::vector<std::string>{
                       "0|quvera_fingervein|Quvera Finger vein: Quvera QVR610|3996|34384|x|x", "-3"}));
}

TEST(Init, MissingConfigurationThenFound) {
    DriverDir d(nullptr);
    FakeBin bin;
    ChildResult r = scenario(d, bin, [&](Api& api, void*) {
        char text[256] = "untouched";
        int a = api.init(nullptr, nullptr), b = api.support_devs(nullptr, 0), c = api.enum_device();
        printf("@%d %d %d\n", a, b, c);
        printf("@%d [%s]\n", api.code_info(-19, text), text);
        qvtest::write_text(d.config_path(), full_config());
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
        int count;   // qvbio_get_support_devs(NULL, 0)
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
        {cfg("\"dev_vpid\": \" abcd:1234 ,\\tabcd:00ff \""), 12, "2: abcd/1234/Quvera QVR610 abcd/00ff/Quvera QVR610", 2},
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
    struct Case {
        const char* lang;
        const char* want;
    } cases[] = {{"zh_CN.UTF-8", "操作超时。"},      {"zh_TW", "操作超时。"},
                 {"zh", "The operation timed out."}, {"en_US.UTF-8", "The operation timed out."},
                 {"", "The operation timed out."},   {nullptr, "The operation timed out."}};
    for (const Case& c : cases) {
        auto out = results(d, bin, [](Api& api, void*) {
            api.init(nullptr, nullptr);
            char text[256] = {};
            api.code_info(-13, text);
            printf("@%s\n", text);
        }, c.lang);
        EXPECT_EQ(out, std::vector<std::string>{c.want}) << (c.lang ? c.lang : "(unset)");
    }
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
    EXPECT_EQ(out, (std::vector<std::string>{
                       "-13 24 The operation timed out.", "13 24 The operation timed out.", "0 8 Success.",
                       "-99 26 An unknown error occurred.", "99 26 An unknown error occurred.", "-20 0 ",
                       "-98 0 ", "100 0 ", "-100 0 ", "-2147483648 0 ",
                       "255 255", "-3"}));
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
        {"{\"dev_vpid\": \"3A5C:0610\"}", listing, 0},     // ids compare case-sensitively
        {"{\"dev_vpid\": \"3a5c:0610,\"}", listing, 2},    // a trailing comma runs nothing more
        {"{\"dev_vpid\": \"3a5c:0610,1d6b:0002\"}", listing, 3},
        {"{\"dev_vpid\": \"3a5c:0610, 3a5c:0611\"}", listing, 3},   // blanks around the ids are dropped
    };
    for (const Case& c : cases) {
        DriverDir d(c.config.c_str());
        FakeBin bin;
        bin.set_lsusb(c.listing);
        auto out = results(d, bin, [](Api& api, void*) { printf("@%d\n", api.enum_device()); });
        EXPECT_EQ(out, std::vector<std::string>{std::to_string(c.want)}) << c.config;
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
    ChildResult r = qvtest::run_child([&] {
        Api api(qvtest::load_driver(d));
        printf("@%d\n", api.enum_device());
        return 0;
    }, Env{{"PATH", bin.dir.c_str()}});
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0"});
}

TEST(Config, OddSoundModesAndDocumentsStillInitialise) {
    const char* configs[] = {"{\"play_sound\": \"abc\"}", "{\"play_sound\": [2]}", "[]", "", "{\"dev_vpid\": [5]}",
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
