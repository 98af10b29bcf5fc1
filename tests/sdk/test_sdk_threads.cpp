// The driver's thread contract: every exported call from a second thread while operations run back
// to back, and what each call does from inside an operation's callback or getter.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "sdk_api.h"
#include "sdk_scanner.h"
#include "sim_clock.h"
#include "sim_scanner.h"

namespace {

using qvtest::Api;
using qvtest::ChildResult;
using qvtest::frame_of;
using qvtest::kFingerReg;

const char* const kCodeKeys[] = {"succ",   "fail",   "check",    "param",  "nofeat", "nodest", "notsame",
                                 "match",  "memory", "flash",    "sensor", "raise",  "nsupp",  "timeout",
                                 "isbusy", "nodev",  "fewpoint", "cancel", "file",   "init"};
const char* const kHints[] = {"press_finger",   "raise_finger", "enroll_succ",   "enroll_error",   "enroll_cancel",
                              "enroll_timeotu", "capture_succ", "capture_error", "capture_cancel", "capture_timeout"};

// Every text longer than a short string, so that a text overwritten by another thread is freed memory.
std::string code_text(int code) {
    int a = code < 0 ? -code : code;
    const char* key = a == 99 ? "other" : kCodeKeys[a];
    return std::string("configured message of result code ") + key;
}
std::string hint_text(const std::string& hint) { return "configured hint text for " + hint; }

std::string config() {
    std::string c = "{\"dev_vpid\": \"3a5c:0610\", \"play_sound\": \"0\"";
    for (int code = 0; code < 20; code++)
        c += ", \"en_ret_err_" + std::string(kCodeKeys[code]) + "\": \"" + code_text(code) + "\"";
    c += ", \"en_ret_err_other\": \"" + code_text(99) + "\"";
    for (const char* h : kHints) c += ", \"en_" + std::string(h) + "\": \"" + hint_text(h) + "\"";
    return c + "}";
}

// The text each progress code must carry.
std::string expected_hint(bool enrol, int code) {
    const char* op = enrol ? "enroll_" : "capture_";
    switch (code) {
    case 1000: return hint_text("press_finger");
    case 1001: return hint_text("raise_finger");
    case 0: return hint_text(std::string(op) + "succ");
    case -13: return hint_text(enrol ? "enroll_timeotu" : "capture_timeout");
    case -17: return hint_text(std::string(op) + "cancel");
    case -15: return hint_text(std::string(op) + "error");
    }
    return "(no text for this code)";
}

// Three captures of one finger, made once: generating them is the slow part of a round.
const std::vector<uint8_t>& finger_frame(size_t i) {
    static const std::vector<uint8_t> frames[3] = {frame_of(3, 0), frame_of(3, 1), frame_of(3, 2)};
    return frames[i % 3];
}

// One operation's callbacks: places the finger on 1000 and lifts it on 1001 when a camera is
// given, checks every text, and runs an optional action inside.
struct Progress {
    bool enrol = false;
    sim::Scanner* cam = nullptr;
    std::vector<int> codes;
    std::string wrong;  // texts that were not the configured ones
    std::function<void(int)> inside;
};

void on_progress(int code, const char* msg, void* ctx) {
    Progress* p = static_cast<Progress*>(ctx);
    p->codes.push_back(code);
    std::string want = expected_hint(p->enrol, code);
    if (msg == nullptr || want != msg) p->wrong += " " + std::to_string(code) + ":[" + (msg ? msg : "(null)") + "]";
    if (p->cam != nullptr) {
        if (code == 1000) {
            p->cam->set_idle_frame(finger_frame(p->codes.size()));
            p->cam->set_register(kFingerReg, 1);
        } else if (code == 1001) {
            p->cam->set_register(kFingerReg, 0);
        }
    }
    if (p->inside) p->inside(code);
}

std::string codes_text(const std::vector<int>& codes) {
    std::string s;
    for (int c : codes) s += (s.empty() ? "" : " ") + std::to_string(c);
    return s;
}

// The texts of the scripted recognition library's records.
std::string record_text(size_t n) {
    std::string out;
    for (size_t i = 0; i + 2 < n; i += 3) out += "QUFB";
    if (n % 3 == 1) out += "QQ==";
    if (n % 3 == 2) out += "QUE=";
    return out;
}

// A driver folder with the scripted recognition library, fake tools listing one scanner, and a
// child process with that scanner attached.
struct Rig : qvtest::ScannerRig {
    Rig() : ScannerRig(config().c_str()) {
        d.install_alg(FAKE_ALG_PATH);
        bin.set_lsusb("Bus 001 Device 002: ID 3a5c:0610 Quvera QVR610\n");
    }
    ChildResult run(const std::function<void(void*, Api&, sim::Scanner&)>& body) {
        return run_on_scanner([&](void* h, sim::Scanner& cam) {
            Api api(h);
            body(h, api, cam);
        });
    }
};

// The SDK object's two device methods without a plain-name wrapper.
struct Methods {
    explicit Methods(void* h)
        : sdk(qvtest::symbol(h, "fvsdk")),
          capturimg_(qvtest::fn<int (*)(void*, char*)>(h, "_ZN13CQvfv_sdk_cls9capturimgEPc")),
          setdevidx_(qvtest::fn<int (*)(void*, int)>(h, "_ZN13CQvfv_sdk_cls9setdevidxEi")) {}
    int capturimg(char* buf) const { return capturimg_(sdk, buf); }
    int setdevidx(int i) const { return setdevidx_(sdk, i); }
    void* sdk;
    int (*capturimg_)(void*, char*);
    int (*setdevidx_)(void*, int);
};

// Checks of the calls that only read: each returns a description of what was wrong, or "".
std::string check_code_info(Api& api, int code) {
    char text[256];
    memset(text, '#', sizeof text);
    int n = api.code_info(code, text);
    int a = code < 0 ? -code : code;
    std::string want = a < 20 || a == 99 ? code_text(code) : std::string();
    if (n != static_cast<int>(want.size()) || want != text)
        return "code_info(" + std::to_string(code) + ")=[" + text + "]";
    return "";
}

std::string check_support_devs(Api& api) {
    dev_info_st devs[10] = {};
    int n = api.support_devs(devs, 10);
    if (n != 1 || devs[0].vid != 0x3a5c || devs[0].pid != 0x0610 || strcmp(devs[0].name, "Quvera QVR610") != 0)
        return "support_devs=" + std::to_string(n);
    return "";
}

std::string check_base_info(Api& api) {
    base_info_st info{};
    if (api.base_info(&info) != 0 || strcmp(info.bio_name, "quvera_fingervein") != 0 || info.feature_len != 34384)
        return "base_info";
    return "";
}

// Time-outs by thread: the operations of the main thread may wait for a finger, every other
// thread's end at their first poll.
std::thread::id g_main;
std::atomic<bool> g_fingerRound{false};
int round_getter(const char* key, char* value, void*) {
    bool wait = std::this_thread::get_id() == g_main && g_fingerRound;
    if (strcmp(key, "MatchThreshold") != 0) snprintf(value, 256, "%s", wait ? "100000" : "0");
    return 0;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRounds = 100;  // the sanitizers make every round many times slower
#else
constexpr int kRounds = 1000;
#endif

TEST(Threads, EveryCallBesideRunningOperations) {
    // The main thread runs captures, enrolments and matches back to back (most end at their first
    // poll, every tenth round takes a finger); a second thread makes every exported call meanwhile.
    // Every result must be one the call may give, and every text the configured one.
    Rig rig;
    std::string tmpl = record_text(2972), feat = record_text(25764);
    ChildResult r = rig.run([&](void* h, Api& api, sim::Scanner& cam) {
        sim::Clock clock;  // the main thread's waits take no real time
        // The programs the driver starts need no simulated udev, and start many times faster without it.
        unsetenv("LD_PRELOAD");
        g_main = std::this_thread::get_id();
        Methods m(h);
        api.init(round_getter, nullptr);
        api.open();
        std::atomic<bool> done{false};
        std::string bad2;
        std::map<std::string, int> calls2;
        std::thread other([&] {
            std::mt19937 rng(5);
            std::vector<char> out(40000, 0);
            char frame[320 * 240];
            auto fail = [&](const std::string& what) {
                if (!what.empty() && bad2.size() < 2000) bad2 += " " + what;
            };
            auto expect_in = [&](const char* name, int res, std::initializer_list<int> allowed) {
                calls2[name]++;
                for (int a : allowed)
                    if (res == a) return;
                fail(std::string(name) + "=" + std::to_string(res));
            };
            // lsusb comes and goes: without it a count fails at once, so counts come much faster.
            bool lsusb = true;
            for (int i = 0; !done; i++) {
                if (i % 64 == 63) {
                    lsusb = !lsusb;
                    std::string on = rig.bin.dir + "lsusb", off = on + ".off";
                    if (rename(lsusb ? off.c_str() : on.c_str(), lsusb ? on.c_str() : off.c_str()) != 0)
                        fail("rename lsusb");
                }
                // Mostly the calls that run beside an operation; those that wait for it now and then.
                unsigned pick = rng() % 32;
                if (i % 499 == 498) pick = 100;  // close, free and open now and then: each costs a real wait
                switch (pick) {
                case 0:
                case 1:
                case 2:
                case 3:
                case 4:
                case 5:
                case 6:
                case 7:
                    expect_in(lsusb ? "enum_device" : "enum_device without lsusb", api.enum_device(), {lsusb ? 1 : 0});
                    break;
                case 8:
                case 9:
                case 10:
                case 11:
                case 12:
                case 13:
                case 14:
                case 15:
                    calls2["code_info"]++;
                    fail(check_code_info(api, static_cast<int>(rng() % 41) - 20));
                    break;
                case 16:
                case 17:
                case 18:
                    calls2["support_devs"]++;
                    fail(check_support_devs(api));
                    break;
                case 19: expect_in("support_devs(NULL)", api.support_devs(nullptr, 0), {1}); break;
                case 20:
                case 21:
                    calls2["base_info"]++;
                    fail(check_base_info(api));
                    break;
                case 22: expect_in("code_info(NULL)", api.code_info(-13, nullptr), {-3}); break;
                case 23:
                case 24: expect_in("init", api.init(round_getter, nullptr), {0}); break;
                case 25:
                case 26: expect_in("stop", api.stop(), {0}); break;
                case 27: expect_in("match", api.match(tmpl.c_str(), feat.c_str()), {0, -7, -19}); break;
                case 28: expect_in("capture", api.capture(out.data(), nullptr, nullptr), {-13, -17, -19}); break;
                case 29: expect_in("enroll", api.enroll(out.data(), nullptr, nullptr), {-13, -17, -19}); break;
                case 30: expect_in("capturimg", m.capturimg(frame), {0, 1, -1}); break;
                case 31: expect_in("setdevidx", m.setdevidx(0), {0}); break;
                default:
                    switch ((i / 499) % 4) {
                    case 0: expect_in("close", api.close(), {0}); break;
                    case 1: expect_in("free", api.free_(), {0}); break;
                    default: expect_in("open", api.open(), {0}); break;
                    }
                }
            }
        });
        std::map<std::string, int> results;
        std::string bad;
        std::vector<char> out(40000, 0);
        for (int round = 0; round < kRounds; round++) {
            const bool finger = round % 10 == 9;
            g_fingerRound = finger;
            for (bool enrol : {false, true}) {
                Progress p;
                p.enrol = enrol;
                p.cam = finger ? &cam : nullptr;
                memset(out.data(), 0, out.size());
                int res = enrol ? api.enroll(out.data(), on_progress, &p) : api.capture(out.data(), on_progress, &p);
                cam.set_register(kFingerReg, 0);
                const size_t len = enrol ? 3964 : 34352;
                bool ok = res == 0                     ? strlen(out.data()) == len && p.codes.back() == 0
                          : (res == -13 || res == -17) ? p.codes.back() == res
                                                       : res == -19 && p.codes.empty();
                results[std::string(enrol ? "enroll" : "capture") + (finger ? "+finger " : " ") +
                        std::to_string(res)]++;
                if (!ok || !p.wrong.empty())
                    if (bad.size() < 2000) bad += " " + std::to_string(res) + "[" + codes_text(p.codes) + "]" + p.wrong;
                if (res == -19) api.open();
            }
            int mr = api.match(tmpl.c_str(), feat.c_str());
            results["match " + std::to_string(mr)]++;
            if (mr != 0 && mr != -19) bad += " match=" + std::to_string(mr);
        }
        done = true;
        other.join();
        for (const auto& kv : results) printf("@main %s: %d\n", kv.first.c_str(), kv.second);
        for (const auto& kv : calls2) printf("@other %s: %d\n", kv.first.c_str(), kv.second);
        printf("@bad main [%s]\n@bad other [%s]\n", bad.c_str(), bad2.c_str());
    });
    SKIP_WITHOUT_BED(r);
    std::vector<std::string> out = qvtest::results(r.out);
    std::string summary;
    for (const std::string& l : out) summary += l + "\n";
    EXPECT_NE(std::find(out.begin(), out.end(), "bad main []"), out.end()) << summary;
    EXPECT_NE(std::find(out.begin(), out.end(), "bad other []"), out.end()) << summary;
    printf("%s", summary.c_str());
}

// Where a call comes from inside an operation: its callback, or the getter it asks.
enum class Inside { CaptureCallback, EnrolCallback, EnrolGetter, MatchGetter };
const char* inside_name(Inside w) {
    switch (w) {
    case Inside::CaptureCallback: return "capture callback";
    case Inside::EnrolCallback: return "enrolment callback";
    case Inside::EnrolGetter: return "enrolment getter";
    case Inside::MatchGetter: return "match getter";
    }
    return "?";
}

// The getter of the callback cases: long time-outs, and the action once when its key is asked.
const char* g_actionKey = nullptr;
std::function<void()> g_action;
int action_getter(const char* key, char* value, void*) {
    if (g_actionKey != nullptr && strcmp(key, g_actionKey) == 0 && g_action) {
        std::function<void()> once = std::move(g_action);
        g_action = nullptr;
        once();
    }
    if (strcmp(key, "MatchThreshold") != 0) snprintf(value, 256, "%s", "100000");
    return 0;
}

TEST(Threads, WhatACallbackOrGetterMayCall) {
    // The calls that only read keep working, a close or free is done when the operation returns
    // (which stops an enrolment or capture), and every call that would change the device or the
    // configuration under the operation is refused with -14, whatever it follows.
    struct Case {
        const char* call;
        const char* inner;  // the results of the calls made inside
        bool stops;         // the enrolment or capture ends with -17 (matching does not stop)
        bool frees;         // afterwards the library is unloaded until the next open
    } cases[] = {
        {"open", "-14", false, false},         {"init", "-14", false, false},
        {"setdevidx", "-14", false, false},  // index 5 would make the reopen below fail with -3
        {"capturimg", "-14", false, false},    {"enroll, capture", "-14 -14", false, false},
        {"code_info", "ok", false, false},     {"base_info", "ok", false, false},
        {"support_devs", "ok", false, false},  {"enum_device", "1", false, false},
        {"match", "0", false, false},          {"stop", "0", true, false},
        {"close", "0", true, false},           {"free", "0", true, true},
        {"close, open", "0 -14", true, false}, {"free, init, open", "0 -14 -14", true, true},
    };
    const Inside places[] = {Inside::CaptureCallback, Inside::EnrolCallback, Inside::EnrolGetter, Inside::MatchGetter};
    Rig rig;
    std::string tmpl = record_text(2972), feat = record_text(25764);
    ChildResult r = rig.run([&](void* h, Api& api, sim::Scanner& cam) {
        sim::Clock clock;
        Methods m(h);
        api.init(action_getter, nullptr);
        for (Inside where : places) {
            for (const Case& c : cases) {
                m.setdevidx(0);  // each row on its own, whatever the one before did
                api.open();
                std::string inner;
                auto act = [&] {
                    auto add = [&](int v) { inner += (inner.empty() ? "" : " ") + std::to_string(v); };
                    auto add_check = [&](const std::string& wrong) {
                        inner += (inner.empty() ? "" : " ") + (wrong.empty() ? "ok" : wrong);
                    };
                    std::string call = c.call;
                    char frame[320 * 240];
                    std::vector<char> buf(40000, 0);
                    if (call == "open") add(api.open());
                    if (call == "init") add(api.init(action_getter, nullptr));
                    if (call == "setdevidx") add(m.setdevidx(5));
                    if (call == "capturimg") add(m.capturimg(frame));
                    if (call == "enroll, capture") {
                        add(api.enroll(buf.data(), nullptr, nullptr));
                        add(api.capture(buf.data(), nullptr, nullptr));
                    }
                    if (call == "code_info") add_check(check_code_info(api, -13));
                    if (call == "base_info") add_check(check_base_info(api));
                    if (call == "support_devs") add_check(check_support_devs(api));
                    if (call == "enum_device") add(api.enum_device());
                    if (call == "match") add(api.match(tmpl.c_str(), feat.c_str()));
                    if (call == "stop") add(api.stop());
                    if (call.rfind("close", 0) == 0) add(api.close());
                    if (call.rfind("free", 0) == 0) add(api.free_());
                    if (call == "free, init, open") add(api.init(action_getter, nullptr));
                    if (call == "close, open" || call == "free, init, open") add(api.open());
                };
                Progress p;
                p.enrol = where != Inside::CaptureCallback;
                p.cam = &cam;
                bool once = false;
                if (where == Inside::CaptureCallback || where == Inside::EnrolCallback) {
                    const int at = where == Inside::CaptureCallback ? 1000 : 1001;
                    p.inside = [&, at](int code) {
                        if (code != at || once) return;
                        once = true;
                        act();
                    };
                } else {
                    g_actionKey = where == Inside::EnrolGetter ? "EnrollTimeout" : "MatchThreshold";
                    g_action = act;
                }
                std::vector<char> out(40000, 0);
                int res = where == Inside::CaptureCallback ? api.capture(out.data(), on_progress, &p)
                          : where == Inside::MatchGetter   ? api.match(tmpl.c_str(), feat.c_str())
                                                           : api.enroll(out.data(), on_progress, &p);
                g_actionKey = nullptr;
                g_action = nullptr;
                cam.set_register(kFingerReg, 0);
                const int streaming = cam.streaming();
                Progress after;
                after.cam = &cam;
                int next = api.capture(out.data(), on_progress, &after);
                cam.set_register(kFingerReg, 0);
                api.close();
                int reopen = api.open();
                printf("@%s, %s: [%s] %d%s streaming=%d next=%d reopen=%d\n", inside_name(where), c.call, inner.c_str(),
                       res, p.wrong.c_str(), streaming, next, reopen);
            }
        }
    });
    SKIP_WITHOUT_BED(r);
    std::vector<std::string> want;
    for (Inside where : places) {
        for (const Case& c : cases) {
            const bool polls = where != Inside::MatchGetter;
            const bool closes = std::string(c.call).find("close") == 0 || c.frees;
            want.push_back(std::string(inside_name(where)) + ", " + c.call + ": [" + c.inner + "] " +
                           (polls && c.stops ? "-17" : "0") + " streaming=" + (closes ? "0" : "1") +
                           " next=" + (c.frees ? "-19" : "0") + " reopen=0");
        }
    }
    EXPECT_EQ(qvtest::results(r.out), want);
}

}  // namespace
