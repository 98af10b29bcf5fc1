// Loading the recognition library, device control, and the start checks and matching of the
// driver's operations, with a scripted recognition library in the driver folder.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>

#include "sdk_api.h"
#include "sim_clock.h"

namespace {

using qvtest::Api;
using qvtest::ChildResult;
using qvtest::DriverDir;
using qvtest::Env;
using qvtest::FakeBin;

std::string b64(const std::vector<unsigned char>& in) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        for (int k = 3; k >= 0; k--) out += a[(v >> (6 * k)) & 63];
    }
    if (in.size() - i == 1) {
        unsigned v = in[i] << 16;
        out += a[v >> 18];
        out += a[(v >> 12) & 63];
        out += "==";
    } else if (in.size() - i == 2) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8);
        out += a[v >> 18];
        out += a[(v >> 12) & 63];
        out += a[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string record_text(size_t n) { return b64(std::vector<unsigned char>(n, 0x41)); }
// The text without its "=" padding, so that characters appended to it still decode.
std::string unpadded(size_t n) {
    std::string t = record_text(n);
    return t.substr(0, t.find('='));
}

// A driver folder with the scripted library, the fake tools, and the script's folder.
struct Rig {
    explicit Rig(const char* config = "{\"play_sound\": \"2\"}") : d(config) {
        d.install_alg(FAKE_ALG_PATH);
        alg = qvtest::make_temp_dir("alg");
    }
    ~Rig() { qvtest::remove_tree(alg); }
    void script(const std::string& text) { qvtest::write_text(alg + "script", text); }
    std::vector<std::string> calls() const { return qvtest::split_lines(qvtest::read_text(alg + "calls")); }
    int count_calls(const std::string& prefix) const {
        int n = 0;
        for (const std::string& c : calls()) n += c.rfind(prefix, 0) == 0;
        return n;
    }
    ChildResult run(const std::function<void(Api&)>& body) {
        std::string path = bin.path_env();
        return qvtest::run_child(
            [&] {
                void* h = qvtest::load_driver(d);
                Api api(h);
                body(api);
                fflush(stdout);
                dlclose(h);
                return 0;
            },
            Env{{"PATH", path.c_str()}, {"LANG", "en_US.UTF-8"}, {"QV_FAKE_ALG", alg.c_str()}});
    }
    DriverDir d;
    FakeBin bin;
    std::string alg;
};

// Today's failure log of a driver folder: the forced lines, when no operator's full log exists.
std::string failure_log(const DriverDir& d) {
    return qvtest::read_text(d.log_dir() + "runlog_" + qvtest::today() + "_.txt");
}

// Getter answering from a "key=value;..." text in ctx.
int table_getter(const char* key, char* value, void* ctx) {
    std::string t = static_cast<const char*>(ctx);
    std::string k = std::string(key) + "=";
    size_t p = t.find(k);
    if (p == std::string::npos) return 0;
    size_t e = t.find(';', p);
    snprintf(value, 256, "%s", t.substr(p + k.size(), e - p - k.size()).c_str());
    return 0;
}

TEST(Loader, MissingThenInstalled) {
    Rig rig;
    rig.d.remove_alg();
    ChildResult r = rig.run([&](Api& api) {
        sim::Clock clock;
        api.init(nullptr, nullptr);
        int first = api.open();
        int again = api.open();
        rig.d.install_alg(FAKE_ALG_PATH);
        int64_t t0 = clock.now_ms();
        int loaded = api.open();
        printf("@%d %d %d %lld\n", first, again, loaded, static_cast<long long>(clock.now_ms() - t0));
    });
    // Loading waits 200 ms before the device is opened.
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"-19 -19 -15 200"});
    std::string lib = rig.d.root + "libs/libveinalg_x86.so";
    EXPECT_NE(r.out.find("libfile [" + lib + "] is not exist."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("algorithm initialize failed."), std::string::npos);
    EXPECT_NE(r.out.find("succ to load fingervein alg lib"), std::string::npos);
    EXPECT_EQ(rig.calls(), std::vector<std::string>{"init null 0"});
    std::string log = failure_log(rig.d);
    EXPECT_NE(log.find("libfile [" + lib + "] is not exist."), std::string::npos) << "forced\n" << log;
    EXPECT_EQ(log.find("succ to load fingervein alg lib"), std::string::npos) << "not forced";
}

TEST(Loader, FamilyComesFromArch) {
    Rig rig;
    rig.bin.set_arch("aarch64\n");
    ChildResult r = rig.run([&](Api& api) {
        api.init(nullptr, nullptr);
        printf("@%d\n", api.open());
    });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"-19"});
    EXPECT_NE(r.out.find("libs/libveinalg_arm.so] is not exist."), std::string::npos) << r.out;
}

TEST(Loader, BadLibrariesAreUnloadedAndRetried) {
    struct Case {
        std::string name;
        std::function<void(Rig&)> spoil;
        const char* line;
    } cases[] = {
        {"missing symbol",
         [](Rig& g) {
             g.d.remove_alg();
             g.d.install_alg(FAKE_ALG_NOMATCH_PATH);
         },
         " qvfv_alg_api "},
        {"init fails", [](Rig& g) { g.script("init 3 0\n"); }, "algorithm initialize (veinalg_init_handle) failed."},
        {"not a library", [](Rig& g) { qvtest::write_text(g.d.root + "libs/libveinalg_x86.so", "junk"); },
         "failed to load lib."},
        // Code that another user could replace is never loaded into the root service; the line names
        // the path at fault and why.
        {"libs writable by others", [](Rig& g) { chmod((g.d.root + "libs").c_str(), 0777); },
         "[@libs/] is writable by others, so other users could replace [@libs/libveinalg_x86.so]"},
        {"libs writable by its group", [](Rig& g) { chmod((g.d.root + "libs").c_str(), 0775); },
         "[@libs/] is writable by its group, so other users could replace [@libs/libveinalg_x86.so]"},
        {"library writable by others", [](Rig& g) { chmod((g.d.root + "libs/libveinalg_x86.so").c_str(), 0646); },
         "[@libs/libveinalg_x86.so] is writable by others, so other users could replace ["},
        {"driver folder writable by others", [](Rig& g) { chmod(g.d.root.c_str(), 0777); },
         "[@] is writable by others, so other users could replace ["},
        {"libs owned by another user", [](Rig& g) { (void)!chown((g.d.root + "libs").c_str(), 12345, -1); },
         "[@libs/] is owned by another user (uid 12345), so other users could replace ["},
    };
    for (Case& c : cases) {
        if (c.name == "libs owned by another user" && geteuid() != 0) continue;  // only root can give it away
        Rig rig;
        c.spoil(rig);
        ChildResult r = rig.run([&](Api& api) {
            sim::Clock clock;  // the library's load wait passes at once
            api.init(nullptr, nullptr);
            int bad = api.open();
            char buf[64];
            int enrol = api.enroll(buf, nullptr, nullptr);
            int match = api.match("QUJD", "QUJD");
            // Mend the folder: the next open starts again from the beginning.
            chmod(rig.d.root.c_str(), 0755);
            chmod((rig.d.root + "libs").c_str(), 0755);
            (void)!chown((rig.d.root + "libs").c_str(), geteuid(), -1);
            rig.d.remove_alg();
            rig.d.install_alg(FAKE_ALG_PATH);
            rig.script("");
            printf("@%d %d %d %d\n", bad, enrol, match, api.open());
        });
        std::string line = c.line;  // "@" stands for the driver folder
        for (size_t p = line.find('@'); p != std::string::npos; p = line.find('@', p + rig.d.root.size()))
            line.replace(p, 1, rig.d.root);
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"-19 -19 -19 -15"}) << c.name;
        EXPECT_NE(r.out.find(line), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_NE(r.out.find("algorithm initialize failed."), std::string::npos) << c.name;
        std::string log = failure_log(rig.d);
        EXPECT_NE(log.find(line), std::string::npos) << c.name << " forced\n" << log;
        EXPECT_NE(log.find("algorithm initialize failed."), std::string::npos) << c.name << " forced";
    }
}

TEST(Loader, OpenBeforeInitLoadsNothing) {
    Rig rig;
    ChildResult r = rig.run([&](Api& api) { printf("@%d %d\n", api.open(), api.match("QUJD", "QUJD")); });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"-19 -19"});
    EXPECT_NE(r.out.find("opendevice: sdk not initialize or initialize failed"), std::string::npos);
    EXPECT_TRUE(rig.calls().empty());
}

TEST(Loader, FreeUnloadsAndTheNextOpenBindsAgain) {
    Rig rig;
    ChildResult r = rig.run([&](Api& api) {
        api.init(nullptr, nullptr);
        int a = api.open();
        int f = api.free_();
        int m = api.match("QUJD", "QUJD");
        int b = api.open();
        printf("@%d %d %d %d\n", a, f, m, b);
    });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"-15 0 -19 -15"});
    EXPECT_EQ(rig.count_calls("init"), 2);
}

// The scripted library is linked without "-z nodelete": the loader itself keeps a bound library
// in the process, and only one that was bound.
TEST(Loader, ABoundLibraryStaysLoadedAfterFree) {
    Rig rig;
    rig.script("init 3\n");
    ChildResult r = rig.run([&](Api& api) {
        sim::Clock clock;
        std::string lib = rig.d.root + "libs/libveinalg_x86.so";
        auto resident = [&] {
            void* h = dlopen(lib.c_str(), RTLD_LAZY | RTLD_NOLOAD);
            if (h != nullptr) dlclose(h);
            return h != nullptr;
        };
        api.init(nullptr, nullptr);
        int failed = api.open();
        bool after_failure = resident();
        rig.script("");
        int opened = api.open();
        int freed = api.free_();
        bool after_free = resident();
        int again = api.open();
        printf("@%d %d %d %d %d %d\n", failed, after_failure, opened, freed, after_free, again);
    });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"-19 0 -15 0 1 -15"}) << r.out;
    EXPECT_EQ(rig.count_calls("init"), 3);
}

TEST(DeviceControl, ReopenGuardWaitsAfterARecentClose) {
    // An open less than 500 ms after a close waits the full 500 ms, however little is left.
    struct Case {
        int gap_ms;
        const char* waits;
    } cases[] = {{0, "500000"}, {100, "500000"}, {499, "500000"}, {500, ""}, {600, ""}};
    Rig rig;
    ChildResult r = rig.run([&](Api& api) {
        sim::Clock clock;
        api.init(nullptr, nullptr);
        api.open();
        for (const Case& c : cases) {
            int closed = api.close();  // nothing open: 0, and the guard is armed
            usleep(static_cast<useconds_t>(c.gap_ms) * 1000);
            clock.clear_records();
            int64_t t0 = clock.now_ms();
            api.open();
            std::string waits;
            for (int64_t us : clock.sleeps_us()) waits += (waits.empty() ? "" : " ") + std::to_string(us);
            printf("@%d %d %lld [%s]\n", c.gap_ms, closed, static_cast<long long>(clock.now_ms() - t0), waits.c_str());
        }
    });
    std::vector<std::string> want;
    for (const Case& c : cases)
        want.push_back(std::to_string(c.gap_ms) + " 0 " + (c.waits[0] ? "500" : "0") + " [" + c.waits + "]");
    EXPECT_EQ(qvtest::results(r.out), want);
}

TEST(DeviceControl, ReopenGuardStaysArmedAfterALateOpen) {
    // An open more than 500 ms after the close does not clear the guard but renews its stamp,
    // so an open soon after that one waits.
    Rig rig;
    ChildResult r = rig.run([&](Api& api) {
        sim::Clock clock;
        api.init(nullptr, nullptr);
        api.open();
        api.close();
        usleep(600 * 1000);
        int64_t t0 = clock.now_ms();
        api.open();
        int64_t late = clock.now_ms() - t0;
        usleep(100 * 1000);
        t0 = clock.now_ms();
        api.open();
        printf("@%lld %lld\n", static_cast<long long>(late), static_cast<long long>(clock.now_ms() - t0));
    });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 500"});
}

TEST(DeviceControl, StopAndSingleFrame) {
    Rig rig;
    ChildResult r = rig.run([&](Api& api) { printf("@%d %d\n", api.stop(), api.stop()); });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 0"});
}

TEST(Operations, StartChecksInOrderWithoutCallback) {
    Rig rig;
    ChildResult r = rig.run([&](Api& api) {
        static int calls = 0;
        static std::string keys;
        auto cb = [](int, const char*, void*) { calls++; };
        auto getter = [](const char* key, char*, void*) {
            keys += std::string(key) + ";";
            return 0;
        };
        char buf[64] = {};
        api.init(getter, nullptr);
        int e0 = api.enroll(buf, cb, nullptr), c0 = api.capture(buf, cb, nullptr);
        api.open();
        int e1 = api.enroll(nullptr, cb, nullptr), c1 = api.capture(nullptr, cb, nullptr);
        int e2 = api.enroll(buf, cb, nullptr), c2 = api.capture(buf, cb, nullptr);
        printf("@%d %d %d %d %d %d calls=%d buf=%d\n", e0, c0, e1, c1, e2, c2, calls, buf[0]);
        printf("@%s\n", keys.c_str());
    });
    std::vector<std::string> out = qvtest::results(r.out);
    ASSERT_EQ(out.size(), 2u) << r.out;
    EXPECT_EQ(out[0], "-19 -19 -3 -3 -15 -15 calls=0 buf=0");
    EXPECT_EQ(out[1], "EnrollTimeout;CaptureTimeout;EnrollTimeout;CaptureTimeout;EnrollTimeout;CaptureTimeout;");
    for (const char* m : {"enroll_templet: sdk not initialize or initialize failed",
                          "capture_feature: sdk not initialize or initialize failed", "enroll_templet: param error",
                          "capture_feature: param error", "enroll_templet: open device failed nret = [-15]",
                          "capture_feature: open device failed nret = [-15]"})
        EXPECT_NE(r.out.find(m), std::string::npos) << m;
    EXPECT_TRUE(rig.bin.calls("aplay").empty()) << "no sound on a failed start";
}

// Address space in use now, from /proc/self/statm (pages).
rlim_t address_space() {
    long pages = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f != nullptr) {
        if (fscanf(f, "%ld", &pages) != 1) pages = 0;
        fclose(f);
    }
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

TEST(Operations, WorkBuffersThatCannotBeAllocated) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators do not return NULL under an address-space limit";
#endif
    // Half a MiB of address space left: no operation gets its work buffers.
    Rig rig;
    std::string tmpl = record_text(2972), feat = record_text(25764);
    ChildResult r = rig.run([&](Api& api) {
        static int calls = 0;
        auto cb = [](int, const char*, void*) { calls++; };
        std::vector<char> out(40000, 0);
        api.init(nullptr, nullptr);
        api.open();
        int before = api.enroll(out.data(), cb, nullptr);  // no device: the open fails
        rlimit lim{};
        getrlimit(RLIMIT_AS, &lim);
        rlimit tight = lim;
        tight.rlim_cur = address_space() + 524288;
        setrlimit(RLIMIT_AS, &tight);
        int e = api.enroll(out.data(), cb, nullptr);
        int c = api.capture(out.data(), cb, nullptr);
        int m = api.match(tmpl.c_str(), feat.c_str());
        setrlimit(RLIMIT_AS, &lim);
        printf("@%d %d %d %d calls=%d out=%d\n", before, e, c, m, calls, out[0]);
    });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"-15 -8 -8 -8 calls=0 out=0"}) << r.out;
    size_t n = 0;
    for (size_t p = r.out.find("malloc memory error"); p != std::string::npos;
         p = r.out.find("malloc memory error", p + 1))
        n++;
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(rig.bin.calls("aplay").empty());
}

TEST(Matching, ScoreAgainstTheThreshold) {
    struct Case {
        const char* similarity;
        const char* settings;
        int want;
    } cases[] = {
        {"0.705", "", 0},
        {"0.6999", "", -7},
        {"0.70", "", 0},
        {"0", "", -7},
        {"0.79", "MatchThreshold=80", -7},
        {"0.80", "MatchThreshold=80", 0},
        {"0.5", "MatchThreshold=abc", -7},
        {"0.5", "MatchThreshold=0", -7},
        {"0.5", "MatchThreshold=-3", -7},
        {"0.71", "MatchThreshold=", 0},
        {"-1", "", -1},
        {"-2", "", -2},
        {"-0.5", "", -1},
        {"nan", "", -1},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.script(std::string("match ") + c.similarity + "\n");
        std::string tmpl = record_text(2972), feat = record_text(25764);
        ChildResult r = rig.run([&](Api& api) {
            sim::Clock clock;  // the library's load wait passes at once
            api.init(table_getter, const_cast<char*>(c.settings));
            api.open();
            printf("@%d\n", api.match(tmpl.c_str(), feat.c_str()));
        });
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{std::to_string(c.want)})
            << c.similarity << " " << c.settings;
        EXPECT_EQ(rig.calls().back(), "match null 2972 25764 params0") << c.similarity;
        if (c.want < 0 && c.want != -7) {
            EXPECT_NE(r.out.find("match feature failed nret = [" + std::to_string(c.want) + "]"), std::string::npos);
        }
        std::vector<std::string> sounds = rig.bin.calls("aplay");
        ASSERT_EQ(sounds.size(), 1u) << c.similarity;
        EXPECT_EQ(sounds[0],
                  rig.d.root + "sndfiles/" + (c.want == 0 ? "match_feature_success.wav" : "match_feature_fail.wav"));
    }
}

// A whole decimal number from 1 to 100, blanks around it allowed, is the threshold. Anything else
// takes the stricter of the default 70 and the number the text starts with (beyond 100: no match
// at all), and is logged forced once with the value as given.
TEST(Matching, ThresholdSettingsNeverLowerTheBar) {
    constexpr int kNone = 1000;  // every match refused
    struct Case {
        const char* value;
        int threshold;  // what scores of 50, 75, 84, 85 and 100 show of it
        bool logged;
    } cases[] = {
        {"80", 80, false},
        {" 80", 80, false},
        {"80\t ", 80, false},
        {"080", 80, false},
        {"80\n", 80, false},  // a line read from a file
        {"\r\n 85 \r\n", 85, false},
        {"60\n", 60, false},
        {"1", 1, false},
        {"100", 100, false},
        {"", 70, false},
        {"80%", 80, true},
        {"+80", 80, true},
        {"85.5", 85, true},
        {"100.5", 100, true},
        {"101", kNone, true},
        {"255", kNone, true},
        {"2147483648", kNone, true},
        {"4294967297", kNone, true},
        {"99999999999", kNone, true},
        {"99999999999999999999999", kNone, true},
        {"1.0", 70, true},
        {"1e2", 70, true},
        {"7O", 70, true},
        {"7O\n", 70, true},
        {"60%", 70, true},
        {"0", 70, true},
        {"-80", 70, true},
        {"abc", 70, true},
        {"6 0", 70, true},
        {" ", 70, true},
    };
    const int scores[] = {50, 75, 84, 85, 100};
    for (const Case& c : cases) {
        std::string settings = std::string("MatchThreshold=") + c.value;
        std::string tmpl = record_text(2972), feat = record_text(25764);
        Rig rig;
        rig.script("match 0.50 0.75 0.845 0.855 1.0\n");
        ChildResult r = rig.run([&](Api& api) {
            sim::Clock clock;  // the library's load wait passes at once
            api.init(table_getter, const_cast<char*>(settings.c_str()));
            api.open();
            for (size_t i = 0; i < sizeof scores / sizeof scores[0]; i++)
                printf("@%d\n", api.match(tmpl.c_str(), feat.c_str()));
        });
        std::vector<std::string> want;
        for (int score : scores) want.push_back(std::to_string(c.threshold > score ? -7 : 0));
        EXPECT_EQ(qvtest::results(r.out), want) << "[" << c.value << "]";
        std::string shown = c.value;
        for (size_t p = shown.find('\n'); p != std::string::npos; p = shown.find('\n')) shown.replace(p, 1, "\\x0A");
        std::string line = "MatchThreshold [" + shown + "] is not a whole number from 1 to 100, " +
                           (c.threshold == kNone ? std::string("every match is refused")
                                                 : "the threshold " + std::to_string(c.threshold) + " is used");
        std::string log = failure_log(rig.d);
        size_t n = 0;
        for (size_t p = log.find(line); p != std::string::npos; p = log.find(line, p + 1)) n++;
        EXPECT_EQ(n, c.logged ? 1u : 0u) << "[" << c.value << "] logged once, not at every match\n" << log;
        if (!c.logged) {
            EXPECT_EQ(log.find("MatchThreshold"), std::string::npos) << c.value;
        }
    }
}

// The forced line comes once for each distinct value, however the values alternate.
TEST(Matching, ThresholdLineOncePerValue) {
    Rig rig;
    rig.script("match 0.855\n");
    std::string tmpl = record_text(2972), feat = record_text(25764);
    ChildResult r = rig.run([&](Api& api) {
        static const char* const values[] = {"80%", "90%", "80%", "90%", "80%", " 80"};
        static int i = 0;
        auto getter = [](const char*, char* value, void*) {
            snprintf(value, 256, "%s", values[i]);
            return 0;
        };
        api.init(getter, nullptr);
        api.open();
        for (i = 0; i < 6; i++) printf("@%d\n", api.match(tmpl.c_str(), feat.c_str()));
    });
    EXPECT_EQ(qvtest::results(r.out), (std::vector<std::string>{"0", "-7", "0", "-7", "0", "0"}));
    std::string log = failure_log(rig.d);
    for (const char* v : {"80%", "90%"}) {
        std::string line = std::string("MatchThreshold [") + v + "] is not";
        size_t n = 0;
        for (size_t p = log.find(line); p != std::string::npos; p = log.find(line, p + 1)) n++;
        EXPECT_EQ(n, 1u) << v << "\n" << log;
    }
}

TEST(Matching, ErrorsAreForcedAndScoresAreNot) {
    struct Case {
        const char* similarity;
        const char* line;
        bool forced;
    } cases[] = {
        {"-1", "match feature failed nret = [-1]", true},
        {"0.9", "veinalg_match nscore = [90]", false},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.script(std::string("match ") + c.similarity + "\n");
        std::string tmpl = record_text(2972), feat = record_text(25764);
        ChildResult r = rig.run([&](Api& api) {
            api.init(nullptr, nullptr);
            api.open();
            api.match(tmpl.c_str(), feat.c_str());
        });
        std::string log = failure_log(rig.d);
        EXPECT_NE(r.out.find(std::string(" qvfv_sdk_cls ")), std::string::npos);
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.line;
        EXPECT_EQ(log.find(c.line) != std::string::npos, c.forced) << c.line << "\n" << log;
    }
}

TEST(Matching, RefusesWhatItCannotRead) {
    struct Case {
        std::string name;
        std::string tmpl, feat;
        int want;
        bool reaches_alg;
    } cases[] = {
        {"swapped records", record_text(25764).substr(0, 3996), record_text(2972), -7, false},
        {"short template", record_text(2000), record_text(25764), -7, false},
        {"garbage", "!!!!", record_text(25764), -7, false},
        // Texts that decode to more bytes than any record; the longest ones would overrun a work buffer.
        {"40 more characters in the template", unpadded(2972) + std::string(40, 'A'), record_text(25764), -7, false},
        {"40 more characters in the feature", record_text(2972), record_text(25764) + std::string(40, 'A'), -7, false},
        {"2 MiB template", std::string(2 << 20, 'A'), record_text(25764), -7, false},
        {"2 MiB feature", record_text(2972), std::string(2 << 20, 'A'), -7, false},
        {"2 MiB both", std::string(2 << 20, 'A'), std::string(2 << 20, 'A'), -7, false},
        {"padding inside", record_text(2972), record_text(25764).substr(0, 100) + "=" + record_text(25764).substr(101),
         -7, false},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.script("match 0.99\n");
        ChildResult r = rig.run([&](Api& api) {
            sim::Clock clock;  // the library's load wait passes at once
            api.init(nullptr, nullptr);
            api.open();
            int a = api.match(c.tmpl.c_str(), c.feat.c_str());
            int b = api.match(nullptr, c.feat.c_str());
            int d = api.match(c.tmpl.c_str(), nullptr);
            printf("@%d %d %d\n", a, b, d);
        });
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{std::to_string(c.want) + " -3 -3"}) << c.name;
        EXPECT_EQ(rig.count_calls("match"), c.reaches_alg ? 1 : 0) << c.name;
    }
}

TEST(Matching, EitherOrderOfTheTexts) {
    // The records reach the recognition library in the order given; decoding stops at the first
    // character outside the alphabet, so what follows a record's padding is not read.
    struct Case {
        std::string name;
        std::string first, second;
        const char* call;
    } cases[] = {
        {"template, feature", record_text(2972), record_text(25764), "match null 2972 25764 params0"},
        {"feature, template", record_text(25764), record_text(2972), "match null 25764 2972 params0"},
        {"feature, template after a line break", record_text(25764) + "\n" + std::string(40, 'A'), record_text(2972),
         "match null 25764 2972 params0"},
        {"template with characters after its padding", record_text(25764), record_text(2972) + std::string(40, 'A'),
         "match null 25764 2972 params0"},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.script("match 0.9 0.5\n");
        ChildResult r = rig.run([&](Api& api) {
            api.init(nullptr, nullptr);
            api.open();
            int a = api.match(c.first.c_str(), c.second.c_str());
            int b = api.match(c.first.c_str(), c.second.c_str());
            printf("@%d %d\n", a, b);
        });
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 -7"}) << c.name;
        std::vector<std::string> calls = rig.calls();
        ASSERT_EQ(calls.size(), 3u) << c.name;
        EXPECT_EQ(calls[1], c.call) << c.name;
        EXPECT_EQ(calls[2], c.call) << c.name;
    }
}

TEST(Matching, MethodTakesPlainTextPointers) {
    // The SDK object's matching method is exported as matchfeat(char*, char*).
    using MatchFeatFn = int (*)(void*, char*, char*);
    Rig rig;
    rig.script("match 0.9\n");
    std::string tmpl = record_text(2972), feat = record_text(25764);
    ChildResult r = rig.run([&](Api& api) {
        api.init(nullptr, nullptr);
        api.open();
        void* h = dlopen(rig.d.lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
        auto matchfeat = qvtest::fn<MatchFeatFn>(h, "_ZN13CQvfv_sdk_cls9matchfeatEPcS0_");
        printf("@%d\n", matchfeat(qvtest::symbol(h, "fvsdk"), &tmpl[0], &feat[0]));
        dlclose(h);
    });
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0"}) << r.out;
}

TEST(Matching, SoundsByMode) {
    struct Case {
        const char* mode;
        size_t sounds;
    } cases[] = {{"0", 0}, {"1", 0}, {"2", 1}, {"x", 0}};
    for (const Case& c : cases) {
        Rig rig(("{\"play_sound\": \"" + std::string(c.mode) + "\"}").c_str());
        std::string tmpl = record_text(2972), feat = record_text(25764);
        rig.run([&](Api& api) {
            api.init(nullptr, nullptr);
            api.open();
            api.match(tmpl.c_str(), feat.c_str());
        });
        EXPECT_EQ(rig.bin.calls("aplay").size(), c.sounds) << c.mode;
    }
}

}  // namespace
