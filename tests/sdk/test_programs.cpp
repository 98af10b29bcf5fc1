// The programs the driver starts (lsusb, aplay): the descriptors they inherit, and the deadline
// after which one that hangs is killed and reaped. Fake programs come first on PATH; the scanner is
// simulated.
#include <gtest/gtest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "sdk_api.h"
#include "sdk_scanner.h"
#include "sim_clock.h"
#include "sim_scanner.h"

namespace {

using qvtest::Api;
using qvtest::ChildResult;
using qvtest::kFingerReg;
using qvtest::today;
const char* const kPlaySound = "_Z10play_soundNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEi";
using PlaySoundFn = void (*)(std::string, int);

// Places a new capture of one finger on 1000 and lifts it on 1001.
struct Presses {
    sim::Scanner* cam = nullptr;
    int n = 0;
    std::string codes;
};

void press_and_lift(int code, const char*, void* ctx) {
    Presses* p = static_cast<Presses*>(ctx);
    p->codes += (p->codes.empty() ? "" : " ") + std::to_string(code);
    if (code == 1000) {
        p->cam->set_idle_frame(qvtest::frame_of(7, p->n++));
        p->cam->set_register(kFingerReg, 1);
    } else if (code == 1001) {
        p->cam->set_register(kFingerReg, 0);
    }
}

void put_le(std::string& s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A PCM WAV file: its "data" chunk declares `declared` bytes and `present` follow; `list` puts a
// "LIST" chunk (odd-sized, so padded) between "fmt " and "data".
std::string wav(uint32_t rate, int channels, int bits, uint32_t declared, size_t present, bool list = false) {
    std::string body = "WAVEfmt ";
    put_le(body, 16, 4);
    put_le(body, 1, 2);
    put_le(body, static_cast<uint32_t>(channels), 2);
    put_le(body, rate, 4);
    put_le(body, rate * static_cast<uint32_t>(channels * bits / 8), 4);
    put_le(body, static_cast<uint32_t>(channels * bits / 8), 2);
    put_le(body, static_cast<uint32_t>(bits), 2);
    if (list) {
        body += "LIST";
        put_le(body, 5, 4);
        body += std::string("INFO", 4) + "x" + std::string(1, '\0');
    }
    body += "data";
    put_le(body, declared, 4);
    body += std::string(present, '\0');
    std::string out = "RIFF";
    put_le(out, static_cast<uint32_t>(body.size()), 4);
    return out + body;
}

// "gone" once the process has been reaped, "zombie" while it waits for its parent.
std::string state_of(pid_t pid) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return "gone";
    std::string stat = qvtest::read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') return "zombie";
    return "running";
}

pid_t pid_in(const std::string& file) { return static_cast<pid_t>(atoi(qvtest::read_text(file).c_str())); }

// From a second thread: once a fake program has written its process id into `pid_file`, moves
// the simulated clock on in steps until that process is gone, so the driver's deadline passes
// however the steps fall. The driver waits for its programs in real time; only the deadline reads
// the clock.
class PassDeadline {
public:
    PassDeadline(sim::Clock& clock, std::string pid_file)
        : thread_([this, &clock, pid_file] {
              using std::chrono::milliseconds;
              for (int i = 0; i < 3000 && pid_ <= 0; i++) {
                  std::this_thread::sleep_for(milliseconds(10));
                  pid_ = pid_in(pid_file);
              }
              for (int i = 0; i < 3000 && pid_ > 0 && state_of(pid_) != "gone"; i++) {
                  clock.advance_ms(500);
                  std::this_thread::sleep_for(milliseconds(10));
              }
          }) {}
    ~PassDeadline() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = 0;
    std::thread thread_;
};

// What this process holds before the driver is loaded (ctest's log, the test's own files) is not
// the driver's to pass on: marked close-on-exec, so that a program lists only what the driver adds.
void hand_down_nothing() {
    std::vector<int> fds;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' && atoi(e->d_name) > 2 && atoi(e->d_name) != dirfd(d))
                fds.push_back(atoi(e->d_name));
        closedir(d);
    }
    for (int fd : fds) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

// A driver folder with the scripted recognition library, fake programs, and one scanner per child.
struct Rig : qvtest::ScannerRig {
    explicit Rig(const char* config) : ScannerRig(config, "prog") { d.install_alg(FAKE_ALG_PATH); }
    // The descriptor lister in place of a fake program.
    void list_fds_as(const std::string& name) {
        unlink((bin.dir + name).c_str());
        ASSERT_EQ(symlink(FD_LISTER_PATH, (bin.dir + name).c_str()), 0);
    }
    std::string failure_log() const { return qvtest::read_text(d.log_dir() + "runlog_" + today() + "_.txt"); }
    // The scanner shows no frame until a finger is placed.
    ChildResult run(const std::function<void(Api&, sim::Scanner&)>& body) {
        const std::string list = work + "fds";
        qvtest::ScannerChild how;
        how.idle_frame = false;
        how.before_load = hand_down_nothing;
        how.env = {{"QV_FD_LIST", list.c_str()}};
        return run_on_scanner(
            [&](void* h, sim::Scanner& cam) {
                Api api(h);
                body(api, cam);
            },
            how);
    }
};

// Whatever the driver holds open (the camera, its pipes, the log), a program it starts inherits
// only standard input, output and error.
TEST(Programs, InheritOnlyTheStandardDescriptors) {
    Rig g(R"({"dev_vpid": "3a5c:0610,3a5c:0611", "play_sound": "2"})");
    g.list_fds_as("aplay");
    g.list_fds_as("lsusb");
    ChildResult r = g.run([&](Api& api, sim::Scanner& cam) {
        sim::Clock clock;  // the settling and load waits pass at once
        api.init(nullptr, nullptr);
        int opened = api.open();
        int counted = api.enum_device();  // with the camera open
        Presses p;
        p.cam = &cam;
        std::vector<char> out(4000, 0);
        int enrolled = api.enroll(out.data(), press_and_lift, &p);
        printf("@%d %d %d [%s]\n", opened, counted, enrolled, p.codes.c_str());
    });
    SKIP_WITHOUT_BED(r);
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 2 0 [1000 1001 1000 1001 1000 0]"});
    std::vector<std::string> lines = qvtest::split_lines(qvtest::read_text(g.work + "fds"));
    int aplay = 0, lsusb = 0;
    for (const std::string& l : lines) {
        aplay += l.rfind("aplay:", 0) == 0;
        lsusb += l.rfind("lsusb:", 0) == 0;
        EXPECT_EQ(l.substr(l.find(':')), ": 0 1 2") << l;
    }
    EXPECT_EQ(aplay, 7) << "the enrolment's seven sounds";
    EXPECT_EQ(lsusb, 2) << "one run per supported id";
}

TEST(Programs, AHungLsusbIsKilledWithWhatItStartedAndReaped) {
    Rig g(R"({"dev_vpid": "3a5c:0610"})");
    g.bin.add_script("lsusb",
                     "sleep 1000 & echo $! > '" + g.work + "grandchild'\necho $$ > '" + g.work + "child'\nwait\n");
    ChildResult r = g.run([&](Api& api, sim::Scanner&) {
        int counted;
        pid_t child;
        {
            sim::Clock clock;
            PassDeadline pass(clock, g.work + "child");
            counted = api.enum_device();
            pass.join();
            child = pass.pid();
        }
        // Killed with its group, it dies soon after (its parent is gone: nobody may reap it).
        std::string grandchild = state_of(pid_in(g.work + "grandchild"));
        for (int i = 0; i < 1000 && grandchild == "running"; i++) {
            usleep(10 * 1000);
            grandchild = state_of(pid_in(g.work + "grandchild"));
        }
        printf("@%d %s %s\n", counted, state_of(child).c_str(), grandchild == "zombie" ? "gone" : grandchild.c_str());
    });
    SKIP_WITHOUT_BED(r);
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 gone gone"}) << r.out;
    const std::string line = "lsusb -d 3a5c:0610: did not end within 3000 ms, killed";
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    EXPECT_NE(g.failure_log().find(line), std::string::npos) << "a forced line";
}

// aplay's deadline is the sound's length by its WAV header plus two seconds.
TEST(Programs, AHungAplayIsKilledAfterTheSoundsLength) {
    struct Case {
        const char* what;
        std::string file;
        int deadline_ms;
    } cases[] = {
        {"8 kHz 16-bit mono, 0.48 s (the shipped form)", wav(8000, 1, 16, 7680, 7680), 2480},
        {"44.1 kHz 16-bit stereo, 1 s, after a LIST chunk", wav(44100, 2, 16, 176400, 176400, true), 3000},
        {"a data chunk that declares more than the file holds", wav(8000, 1, 8, 0xFFFFFFF0u, 4000), 2500},
        {"no WAV header", "RIFF", 2000},
        {"an empty file", "", 2000},
    };
    Rig g(R"({"dev_vpid": "3a5c:0610"})");
    g.bin.add_script("aplay", "echo $$ > '" + g.work + "hung'\nexec sleep 1000\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sound = g.d.root + "sndfiles/test.wav";
        qvtest::write_text(sound, c.file);
        unlink((g.work + "hung").c_str());
        ChildResult r = g.run([&](Api&, sim::Scanner&) {
            sim::Clock clock;
            PassDeadline pass(clock, g.work + "hung");
            void* h = dlopen(g.d.lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
            qvtest::fn<PlaySoundFn>(h, kPlaySound)(sound, 1);
            pass.join();
            printf("@%s\n", state_of(pass.pid()).c_str());
            dlclose(h);
        });
        SKIP_WITHOUT_BED(r);
        EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"gone"});
        const std::string line =
            "aplay " + sound + ": did not end within " + std::to_string(c.deadline_ms) + " ms, killed";
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    }
}

TEST(Programs, AnEnrolmentGoesOnAfterAHungSound) {
    Rig g(R"({"dev_vpid": "3a5c:0610", "play_sound": "1"})");
    qvtest::write_text(g.d.root + "sndfiles/enroll_template_start.wav", wav(8000, 1, 16, 7680, 7680));
    // Only the first sound hangs.
    g.bin.add_script("aplay",
                     "[ -e '" + g.work + "hung' ] && exit 0\necho $$ > '" + g.work + "hung'\nexec sleep 1000\n");
    ChildResult r = g.run([&](Api& api, sim::Scanner& cam) {
        sim::Clock clock;
        PassDeadline pass(clock, g.work + "hung");
        api.init(nullptr, nullptr);
        api.open();
        Presses p;
        p.cam = &cam;
        std::vector<char> out(4000, 0);
        int enrolled = api.enroll(out.data(), press_and_lift, &p);
        pass.join();
        printf("@%d [%s] %s\n", enrolled, p.codes.c_str(), state_of(pass.pid()).c_str());
    });
    SKIP_WITHOUT_BED(r);
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"0 [1000 1001 1000 1001 1000 0] gone"});
    EXPECT_EQ(g.bin.calls("aplay").size(), 7u) << "the other six sounds play";
    EXPECT_NE(g.failure_log().find("aplay " + g.d.root +
                                   "sndfiles/enroll_template_start.wav: did not end within 2480 ms, killed"),
              std::string::npos)
        << r.out;
}

}  // namespace
