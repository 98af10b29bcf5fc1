// Driver folders, fake tools and child processes for the driver's tests.
#include "sdk_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define QV_HARNESS_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_HARNESS_LEAK_CHECK 1
#endif
#endif
#ifdef QV_HARNESS_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif
#if defined(QV_HARNESS_LEAK_CHECK) || defined(__SANITIZE_THREAD__)
#define QV_HARNESS_SLOW_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QV_HARNESS_SLOW_BUILD 1
#endif
#endif

namespace qvtest {

const char* const kSoundFiles[16] = {"enroll_template_start.wav",  "enroll_template_success.wav",
                                     "enroll_template_fail.wav",   "enroll_template_abnormal.wav",
                                     "enroll_template_cancel.wav", "enroll_template_timeout.wav",
                                     "capture_feature_start.wav",  "capture_feature_success.wav",
                                     "capture_feature_fail.wav",   "capture_feature_abnormal.wav",
                                     "capture_feature_cancel.wav", "capture_feature_timeout.wav",
                                     "press_finger.wav",           "raise_finger.wav",
                                     "match_feature_success.wav",  "match_feature_fail.wav"};

std::string make_temp_dir(const std::string& tag) {
    std::string tmpl = "/tmp/qvtest-" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::string(buf.data()) + "/";
}

void remove_tree(const std::string& dir) {
    if (dir.empty() || dir == "/") return;
    nftw(
        dir.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16, FTW_DEPTH | FTW_PHYS);
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "";
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

std::string today() {
    time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    char buf[16];
    strftime(buf, sizeof buf, "%Y%m%d", &t);
    return buf;
}

static void copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + from);
    {
        std::ofstream out(to, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }
    chmod(to.c_str(), 0644);
}

DriverDir::DriverDir(const char* config) {
    root = make_temp_dir("drv");
    lib = root + "libveinsdk.so";
    copy_file(VEINSDK_PATH, lib);
    mkdir((root + "libs").c_str(), 0755);
    chmod((root + "libs").c_str(), 0755);
    mkdir((root + "qvfv_config").c_str(), 0755);
    mkdir((root + "sndfiles").c_str(), 0755);
    for (const char* s : kSoundFiles) write_text(root + "sndfiles/" + s, "RIFF");
    mkdir((root + "runlog").c_str(), 0755);
    if (config != nullptr) set_config(config);
}

DriverDir::DriverDir(Installed) {
#ifdef BINARY_DIR
    stage_ = make_temp_dir("inst");
    std::string cmd = "DESTDIR='" + stage_ + "' cmake --install '" BINARY_DIR "' --prefix /usr >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) throw std::runtime_error("cmake --install failed");
    root = stage_ + "usr/lib/biometric-authentication/drivers/extra/quvera-fingervein/";
    lib = root + "libveinsdk.so";
#else
    throw std::runtime_error("no build folder to install from");
#endif
}

DriverDir::~DriverDir() { remove_tree(stage_.empty() ? root : stage_); }

void DriverDir::set_config(const std::string& text) {
    write_text(config_path(), text);
    chmod(config_path().c_str(), 0644);  // whatever the umask: a file others may write is not read
}

void DriverDir::remove_config() { unlink(config_path().c_str()); }

void DriverDir::install_alg(const std::string& from) {
    copy_file(from, root + "libs/" + from.substr(from.rfind('/') + 1));
}

void DriverDir::remove_alg() {
    DIR* dir = opendir((root + "libs").c_str());
    if (dir == nullptr) return;
    while (dirent* e = readdir(dir))
        if (strncmp(e->d_name, "libveinalg_", 11) == 0) unlink((root + "libs/" + e->d_name).c_str());
    closedir(dir);
}

FakeBin::FakeBin() {
    dir = make_temp_dir("bin");
    set_lsusb("");
    set_arch("x86_64");
    add_script("aplay", "exit 0\n");
}

FakeBin::~FakeBin() { remove_tree(dir); }

void FakeBin::add_script(const std::string& name, const std::string& body) {
    std::string path = dir + name;
    write_text(path, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + dir + name + ".calls'\n" + body);
    chmod(path.c_str(), 0755);
}

void FakeBin::set_lsusb(const std::string& listing) {
    write_text(dir + "lsusb.txt", listing);
    add_script("lsusb",
               "[ \"$1\" = -d ] && exec grep -F \"ID $2 \" '" + dir + "lsusb.txt'\ncat '" + dir + "lsusb.txt'\n");
}

void FakeBin::set_arch(const std::string& output) {
    write_text(dir + "arch.txt", output);
    add_script("arch", "cat '" + dir + "arch.txt'\n");
}

std::vector<std::string> FakeBin::calls(const std::string& name) const {
    return split_lines(read_text(dir + name + ".calls"));
}

std::string FakeBin::path_env() const { return dir + ":/usr/local/bin:/usr/bin:/bin"; }

namespace {

// An unnamed temporary file, read back from its start. Close-on-exec: the programs a child
// starts see only the copies on 1 and 2.
int temp_file() {
    char name[] = "/tmp/qvtest-out-XXXXXX";
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0) unlink(name);
    return fd;
}

std::string read_back(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// How long one child may take before its test fails by name instead of hanging until ctest's
// 600 s. The longest children take about 13 s alone and 38 s in a loaded full run, and under ASan
// about 70 s with only a few tests beside them.
#ifdef QV_HARNESS_SLOW_BUILD
constexpr int kChildDeadlineS = 400;
#else
constexpr int kChildDeadlineS = 120;
#endif

// Waits for the child, at most `seconds` (a kernel wait: a simulated clock of this thread does not
// shorten it). False when it had to be killed.
bool wait_child(pid_t pid, int& status, int seconds) {
    int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = true;
    if (pfd >= 0) {
        pollfd p{pfd, POLLIN, 0};
        int n;
        while ((n = poll(&p, 1, seconds * 1000)) < 0 && errno == EINTR) {}
        close(pfd);
        if (n == 0) {
            kill(pid, SIGKILL);
            ended = false;
        }
    }
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return ended;
}

std::string current_test_name() {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    return t != nullptr ? std::string(t->test_suite_name()) + "." + t->name() : std::string("(no test)");
}

// A sanitizer's report ends with a line "SUMMARY: <name>Sanitizer: ..."; UndefinedBehaviorSanitizer's
// lines say "runtime error:".
bool has_sanitizer_report(const std::string& text) {
    for (const std::string& line : split_lines(text))
        if ((line.rfind("SUMMARY: ", 0) == 0 && line.find("Sanitizer") != std::string::npos) ||
            line.find(": runtime error: ") != std::string::npos)
            return true;
    return false;
}

}  // namespace

// The child's error output goes to a file the parent passes on to its own and reads: a sanitizer's
// finding in the child (or in a program it runs) fails the test whatever the child's status. The
// child ends with _exit, which skips the leak check of a normal exit, so that runs first.
ChildResult run_child(const std::function<int()>& fn, const Env& env) {
    ChildResult r;
    int fd = temp_file();
    if (fd < 0) return r;
    int err_fd = temp_file();
    if (err_fd < 0) {
        close(fd);
        return r;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        dup2(err_fd, 2);
        for (const auto& e : env) {
            if (e.second != nullptr)
                setenv(e.first.c_str(), e.second, 1);
            else
                unsetenv(e.first.c_str());
        }
        int rc = 99;
        try {
            rc = fn();
        } catch (...) {
            rc = 98;
        }
        fflush(stdout);
#ifdef QV_HARNESS_LEAK_CHECK
        __lsan_do_recoverable_leak_check();
#endif
        fflush(stderr);
        _exit(rc);
    }
    if (pid < 0) {
        close(fd);
        close(err_fd);
        ADD_FAILURE() << "fork failed";
        return r;
    }
    int status = 0;
    const bool ended = wait_child(pid, status, kChildDeadlineS);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_back(fd);
    if (!ended)
        ADD_FAILURE() << current_test_name() << ": its child process did not end within " << kChildDeadlineS
                      << " s and was killed; the end of its output:\n"
                      << r.out.substr(r.out.size() > 4000 ? r.out.size() - 4000 : 0);
    const std::string err = read_back(err_fd);
    fwrite(err.data(), 1, err.size(), stderr);
    fflush(stderr);
    if (has_sanitizer_report(err) || has_sanitizer_report(r.out))
        ADD_FAILURE() << "a sanitizer reported in a child process (status " << r.status << "):\n"
                      << err << (has_sanitizer_report(r.out) ? r.out : std::string());
    return r;
}

void* load_driver(const DriverDir& d) {
    void* h = dlopen(d.lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        _exit(97);
    }
    return h;
}

void* symbol(void* handle, const char* name) {
    void* s = dlsym(handle, name);
    if (s == nullptr) {
        fprintf(stderr, "dlsym %s: %s\n", name, dlerror());
        _exit(96);
    }
    return s;
}

}  // namespace qvtest

namespace qvtest {

std::vector<std::string> results(const std::string& out) {
    std::vector<std::string> r;
    for (const std::string& l : split_lines(out))
        if (!l.empty() && l[0] == '@') r.push_back(l.substr(1));
    return r;
}

ChildResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    return run_child([&] {
        dup2(1, 2);
        std::vector<char*> a, e;
        for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        for (const std::string& s : env) e.push_back(const_cast<char*>(s.c_str()));
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        return 127;
    });
}

}  // namespace qvtest
