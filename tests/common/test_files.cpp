// File, path, command and system utilities.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sdk_harness.h"
#include "qv_log.h"
#include "qv_utils.h"

namespace {

using qvtest::read_text;
using qvtest::write_text;

class Files : public ::testing::Test {
protected:
    void SetUp() override { dir = qvtest::make_temp_dir("files"); }
    void TearDown() override { qvtest::remove_tree(dir); }
    static mode_t mode_of(const std::string& p) {
        struct stat st {};
        stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }
    std::string dir;
};

TEST_F(Files, WriteCreatesFolderAndAppends) {
    std::string path = dir + "a/b/c.bin";
    char data[] = "abc";
    EXPECT_EQ(write_file(path.c_str(), data, 3, 0), 3);
    EXPECT_EQ(read_text(path), "abc");
    EXPECT_EQ(mode_of(dir + "a"), 0755u);
    EXPECT_EQ(mode_of(dir + "a/b"), 0755u);
    EXPECT_EQ(mode_of(path), 0644u);
    chmod(path.c_str(), 0600);
    EXPECT_EQ(write_file(path.c_str(), data, 2, 1), 2);
    EXPECT_EQ(read_text(path), "abcab");
    EXPECT_EQ(mode_of(path), 0600u) << "an existing file keeps its mode";
    EXPECT_EQ(write_file(path.c_str(), data, 1, 0), 1);
    EXPECT_EQ(read_text(path), "a");
}

TEST_F(Files, WriteRefusesBadArguments) {
    char data[] = "x";
    std::string p = dir + "f";
    EXPECT_EQ(write_file(nullptr, data, 1, 0), 0);
    EXPECT_EQ(write_file("", data, 1, 0), 0);
    EXPECT_EQ(write_file(p.c_str(), nullptr, 1, 0), 0);
    EXPECT_EQ(write_file(p.c_str(), data, 0, 0), 0);
    EXPECT_FALSE(qvtest::exists(p));
    // No "/" in the path: a file of the working directory, no folder step.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_EQ(write_file("plain.txt", data, 1, 0), 1);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(read_text(dir + "plain.txt"), "x");
}

TEST_F(Files, SizeReadAndText) {
    std::string p = dir + "t.txt";
    write_text(p, std::string("ab\0cd", 5));
    EXPECT_EQ(get_file_size(p.c_str()), 5);
    EXPECT_EQ(get_file_size((dir + "missing").c_str()), -18);
    EXPECT_EQ(get_file_size(nullptr), -3);
    EXPECT_EQ(get_file_size(""), -3);
    char buf[8] = {};
    EXPECT_EQ(read_file(p.c_str(), buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), std::string("ab\0", 3));
    EXPECT_EQ(read_file(p.c_str(), buf, 8), 5);
    EXPECT_EQ(read_file(p.c_str(), buf, 0), 0);
    EXPECT_EQ(read_file(p.c_str(), nullptr, 4), 0);
    EXPECT_EQ(read_file((dir + "missing").c_str(), buf, 4), 0);
    EXPECT_EQ(mu_read_txtfile(p), "ab");
    EXPECT_EQ(mu_read_txtfile(dir + "missing"), "");
    EXPECT_TRUE(file_exist(p.c_str()));
    EXPECT_TRUE(file_exist(dir.c_str()));
    EXPECT_FALSE(file_exist(nullptr));
}

// Nothing is made writable by others, whatever the umask; what exists keeps its mode.
TEST_F(Files, CreatePathMakesFoldersOnlyTheOwnerMayWrite) {
    std::string p = dir + "x/y/z";
    mode_t old = umask(0);
    EXPECT_TRUE(create_path(p.c_str()));
    char data[] = "abc";
    EXPECT_EQ(write_file((dir + "x/new/f.bin").c_str(), data, 3, 0), 3);
    umask(old);
    for (const std::string& f : {dir + "x", dir + "x/y", p, dir + "x/new"}) EXPECT_EQ(mode_of(f), 0755u) << f;
    EXPECT_EQ(mode_of(dir + "x/new/f.bin"), 0644u);
    chmod(p.c_str(), 0700);
    EXPECT_TRUE(create_path(p.c_str()));
    EXPECT_EQ(mode_of(p), 0700u);
    EXPECT_TRUE(create_path(""));
    // A link in place of the folder is not followed by the mode change, however it is written.
    std::string target = dir + "target";
    mkdir(target.c_str(), 0700);
    symlink(target.c_str(), (dir + "link").c_str());
    for (const char* name : {"link", "link/", "link//"}) {
        EXPECT_TRUE(create_path((dir + name).c_str()));
        EXPECT_EQ(mode_of(target), 0700u) << name;
    }
    EXPECT_TRUE(create_path((dir + "slash/").c_str()));
    EXPECT_EQ(mode_of(dir + "slash"), 0755u) << "a real folder named with a trailing slash";
}

// The folder and the pattern make one file pattern, as the shell would expand it.
TEST_F(Files, LogCountAndPruneMatchFolderTextPlusPattern) {
    for (const char* name : {"f1.txt", "f2.txt", "g1.txt", "f3.log"}) write_text(dir + name, "x");
    mkdir((dir + "f4.txt").c_str(), 0755);
    symlink((dir + "g1.txt").c_str(), (dir + "f5.txt").c_str());
    mkdir((dir + "sub").c_str(), 0755);
    write_text(dir + "sub/f6.txt", "x");
    struct Case {
        std::string dir;
        const char* pattern;
        int count;
    } cases[] = {
        {dir, "*.txt", 3},                               // regular files only
        {dir, "f*.txt", 2},    {dir + "f", "*.txt", 2},  // a folder text without "/" is a name prefix
        {dir, "sub/*.txt", 1}, {dir, "*.bin", 0},       {dir + "missing/", "*.txt", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(mu_file_cnt(c.dir, c.pattern), c.count) << c.dir << c.pattern;
    EXPECT_EQ(mu_del_log(dir + "f", "*.txt", 1), 1);
    EXPECT_EQ(mu_file_cnt(dir + "f", "*.txt"), 1);
    EXPECT_TRUE(qvtest::exists(dir + "g1.txt"));
    EXPECT_TRUE(qvtest::exists(dir + "f5.txt")) << "a link is not a log file";
}

TEST_F(Files, RunCommand) {
    EXPECT_EQ(run_cmd("printf 'a\\n\\n'"), "a\n");
    EXPECT_EQ(run_cmd("true"), "");
    EXPECT_EQ(run_cmd("echo hi; echo err >&2"), "hi");
    std::string big = run_cmd("head -c 5000 /dev/zero | tr '\\0' x");
    EXPECT_EQ(big, std::string(5000, 'x'));
    EXPECT_EQ(run_cmd("printf 'a\\0b'"), std::string("a\0b", 3)) << "exact byte count";
}

TEST_F(Files, ProcessorFamilyFromArch) {
    qvtest::FakeBin bin;
    struct Case {
        const char* arch;
        const char* family;
    } cases[] = {{"x86_64\n", "x86"},        {"aarch64\n", "arm"},   {"mips64\n", "mips"},
                 {"loongarch64\n", "loong"}, {"armv7l\n", "armv7l"}, {"", ""}};
    for (const Case& c : cases) {
        bin.set_arch(c.arch);
        qvtest::ChildResult r = qvtest::run_child(
            [&] {
                printf("%s", get_plattype().c_str());
                return 0;
            },
            {{"PATH", bin.path_env().c_str()}});
        EXPECT_EQ(r.out, c.family) << c.arch;
    }
}

TEST_F(Files, SoundRunsThePlayerWithTheFileAsArgument) {
    qvtest::FakeBin bin;
    std::string wav = dir + "a b;touch pwned;x.wav";
    write_text(wav, "RIFF");
    qvtest::ChildResult r = qvtest::run_child(
        [&] {
            if (chdir(dir.c_str()) != 0) return 2;
            play_sound(wav, 1);
            play_sound(dir + "missing.wav", 1);
            return 0;
        },
        {{"PATH", bin.path_env().c_str()}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(bin.calls("aplay"), std::vector<std::string>{wav});
    EXPECT_FALSE(qvtest::exists(dir + "pwned")) << "no shell sees the file name";
    // Without a player on PATH nothing happens.
    qvtest::ChildResult none = qvtest::run_child(
        [&] {
            play_sound(wav, 1);
            return 0;
        },
        {{"PATH", "/nonexistent"}});
    EXPECT_EQ(none.status, 0);
}

TEST(System, SelfAndStubs) {
    std::string pid, name, dir;
    ASSERT_EQ(get_selfinf(pid, name, dir), 0);
    EXPECT_EQ(pid, std::to_string(getpid()));
    EXPECT_EQ(name, "test_common");
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(get_temppath(), "/tmp/");
    EXPECT_EQ(is_rootrun(), geteuid() == 0);
    void* h = reinterpret_cast<void*>(1);
    EXPECT_EQ(mu_open_mutex("m", &h), 0);
    EXPECT_EQ(h, reinterpret_cast<void*>(1));
    mu_free_mutex(&h);
    EXPECT_EQ(gen_guidstr(), "");
    std::string out = "keep";
    EXPECT_EQ(mu_myexec("touch /tmp/qv-never", 0, out), 0);
    EXPECT_EQ(out, "keep");
    EXPECT_EQ(mu_systask("a", "b", 1, SYSTASK_NONE), 0);
}

// Runs the rule-file generator with a temporary folder bound over the system's rule folder.
TEST(System, RuleFileGrantsOnlyTheScanners) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    std::string tmp = qvtest::make_temp_dir("etc");
    qvtest::ChildResult r = qvtest::run_child([&] {
        if (unshare(CLONE_NEWNS) != 0) return 77;
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        const char* over = nullptr;
        for (const char* c : {"/etc/udev/rules.d", "/etc/udev", "/etc"}) {
            struct stat st {};
            if (stat(c, &st) == 0) {
                over = c;
                break;
            }
        }
        if (over == nullptr || mount(tmp.c_str(), over, nullptr, MS_BIND, nullptr) != 0) return 77;
        const char* rules = "/etc/udev/rules.d/70-libusb.rules";
        mu_gen_rule_file();
        struct stat st {};
        if (stat(rules, &st) != 0) return 1;
        printf("mode=%o\n", st.st_mode & 07777);
        std::string first = read_text(rules);
        // An existing file is never changed.
        write_text(rules, "operator's own");
        mu_gen_rule_file();
        printf("%s\n--\n%s", first.c_str(), read_text(rules).c_str());
        return 0;
    });
    qvtest::remove_tree(tmp);
    if (r.status == 77) GTEST_SKIP() << "mount namespaces are not available";
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              "mode=644\n# Quvera usb devices\n"
              "ATTRS{idVendor}==\"3a5c\",MODE=\"0666\",OWNER=\"user\",GROUP=\"user\"\n--\noperator's own");
}

}  // namespace
