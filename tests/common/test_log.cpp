// The log sink, the other log writers and the application path, on a private copy of the
// library in a driver folder of its own, one process per scenario.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <dirent.h>

#include <ctime>
#include <functional>
#include <regex>
#include <string>

#include "sdk_harness.h"

namespace {

using qvtest::ChildResult;
using qvtest::DriverDir;
using qvtest::today;

using LogFn = void (*)(const char*, int, std::string, int);
using LogExFn = void (*)(const char*, int, const char*, ...);
using LogFileFn = void (*)(std::string);
using PathFn = std::string (*)();

const char* kWriteErrorLog = "_Z15write_error_logPKciNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEi";
const char* kWriteLogFileEx = "_Z16write_log_fileExPKciS0_z";
const char* kWriteLogFile = "_Z14write_log_fileNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
const char* kAppPath = "_Z20get_application_pathB5cxx11v";
const char* kSelfName = "_Z13get_self_nameB5cxx11v";
using CountFn = int (*)(std::string, std::string);
using DelFn = int (*)(std::string, std::string, int);
const char* kFileCnt = "_Z11mu_file_cntNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES4_";
const char* kDelLog = "_Z10mu_del_logNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES4_i";

// This executable does not link the library: every call goes to the copy loaded in a child.
int mu_file_cnt(const std::string& dir, const char* /*pattern "*.txt"*/) {
    int n = 0;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        struct stat st {};
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0 && lstat((dir + name).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode))
            n++;
    }
    closedir(d);
    return n;
}

mode_t mode_of(const std::string& p) {
    struct stat st {};
    lstat(p.c_str(), &st);
    return st.st_mode & 07777;
}

// Runs the given lines through the copy's sink in a fresh process.
ChildResult log_lines(const DriverDir& d, std::vector<std::pair<std::string, int>> lines) {
    return qvtest::run_child([&] {
        void* h = qvtest::load_driver(d);
        auto log = qvtest::fn<LogFn>(h, kWriteErrorLog);
        int n = 10;
        for (auto& l : lines) log("unit_src", n++, l.first, l.second);
        return 0;
    });
}

TEST(Sink, LineFormatOnStandardOutput) {
    DriverDir d;
    ChildResult r = log_lines(d, {{"first message", 0}, {"x", 1}, {"", 0}});
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> lines = qvtest::split_lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    std::regex re(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\d{3}) unit_src (\d+) (.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, re)) << lines[0];
    EXPECT_LT(std::stoi(m[1]), 999);
    EXPECT_EQ(m[2], "10");
    EXPECT_EQ(m[3], "first message");
    ASSERT_TRUE(std::regex_match(lines[2], m, re)) << lines[2];
    EXPECT_EQ(m[3], "");
}

TEST(Sink, ProgressLinesGoNowhereWithoutTheFullLog) {
    DriverDir d;
    for (int i = 0; i < 9; i++) qvtest::write_text(d.log_dir() + "old" + std::to_string(i) + ".txt", "x");
    ChildResult r = log_lines(d, {{"progress", 0}});
    ASSERT_EQ(r.status, 0);
    EXPECT_FALSE(qvtest::exists(d.log_dir() + "runlog_" + today() + "_.txt"));
    EXPECT_EQ(mu_file_cnt(d.log_dir(), "*.txt"), 9) << "a line written nowhere prunes nothing";
}

TEST(Sink, FailureLinesGoToTheFailureLog) {
    DriverDir d;
    std::string fail = d.log_dir() + "runlog_" + today() + "_.txt";
    ChildResult r = qvtest::run_child([&] {
        auto log = qvtest::fn<LogFn>(qvtest::load_driver(d), kWriteErrorLog);
        log("unit_src", 10, "broken", 1);
        printf("@%o\n", mode_of(fail));
        chmod(fail.c_str(), 0640);  // the next lines append to it and leave its mode alone
        log("unit_src", 11, "progress", 0);
        log("unit_src", 12, "again", 1);
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(qvtest::results(r.out), std::vector<std::string>{"640"}) << "a new failure log is made 0640";
    std::vector<std::string> lines = qvtest::split_lines(qvtest::read_text(fail));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" unit_src 10 broken"), std::string::npos);
    EXPECT_NE(lines[1].find(" unit_src 12 again"), std::string::npos);
    EXPECT_EQ(mode_of(fail), 0640u);
}

TEST(Sink, OperatorsFullLogTakesEveryLine) {
    DriverDir d;
    std::string full = d.log_dir() + "runlog_" + today() + ".txt";
    qvtest::write_text(full, "");
    chmod(full.c_str(), 0640);
    ChildResult r = log_lines(d, {{"progress", 0}, {"broken", 1}});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(qvtest::split_lines(qvtest::read_text(full)).size(), 2u);
    EXPECT_FALSE(qvtest::exists(d.log_dir() + "runlog_" + today() + "_.txt"));
    EXPECT_EQ(mode_of(full), 0640u) << "an existing file keeps its mode";
}

TEST(Sink, CreatesTheLogFolderOnlyTheServiceMayWrite) {
    DriverDir d;
    qvtest::remove_tree(d.log_dir());
    ChildResult r = qvtest::run_child([&] {
        umask(0);  // the modes do not depend on the host's umask
        qvtest::fn<LogFn>(qvtest::load_driver(d), kWriteErrorLog)("unit_src", 1, "broken", 1);
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(mode_of(d.log_dir()), 0755u);
    EXPECT_EQ(mode_of(d.log_dir() + "runlog_" + today() + "_.txt"), 0640u);
    EXPECT_TRUE(qvtest::exists(d.log_dir() + "runlog_" + today() + "_.txt"));
}

TEST(Sink, PlantedLinksAreNeverFollowed) {
    DriverDir d;
    std::string victim = d.root + "victim";
    qvtest::write_text(victim, "secret");
    chmod(victim.c_str(), 0600);
    symlink(victim.c_str(), (d.log_dir() + "runlog_" + today() + "_.txt").c_str());
    std::string absent = d.root + "absent";
    symlink(absent.c_str(), (d.log_dir() + today() + "_logfile.txt").c_str());
    ChildResult r = qvtest::run_child([&] {
        void* h = qvtest::load_driver(d);
        qvtest::fn<LogFn>(h, kWriteErrorLog)("unit_src", 1, "broken", 1);
        qvtest::fn<LogFileFn>(h, kWriteLogFile)("line");
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(qvtest::read_text(victim), "secret");
    EXPECT_EQ(mode_of(victim), 0600u);
    EXPECT_FALSE(qvtest::exists(absent)) << "no file is created through a link";
}

// What another user can put into the log folder must neither receive the service's lines nor
// choose where they go. Tests run as root; another user's file is made by chown.
constexpr uid_t kOtherUser = 12345;

std::string foreign_reason() { return "owned by user 12345, not " + std::to_string(geteuid()); }

int count_of(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) n++;
    return n;
}

void touch_at(const std::string& path, time_t when) {
    qvtest::write_text(path, "x");
    struct timeval tv[2] = {{when, 0}, {when, 0}};
    utimes(path.c_str(), tv);
}

struct Planted {
    const char* what;
    std::function<void(const std::string& place, const std::string& elsewhere)> make;
    std::function<std::string()> why;
    bool needs_root;
};

// Files another user could plant in a log file's place (full log or failure log), and why the
// sink refuses each.
const std::vector<Planted>& planted() {
    static const std::vector<Planted> cases = {
        {"another user's file (reading every line)",
         [](const std::string& p, const std::string&) {
             qvtest::write_text(p, "");
             (void)!chown(p.c_str(), kOtherUser, static_cast<gid_t>(-1));
         },
         foreign_reason, true},
        {"a symbolic link to a file of ours",
         [](const std::string& p, const std::string& e) { (void)!symlink(e.c_str(), p.c_str()); },
         [] { return std::string("a symbolic link"); }, false},
        {"a hard link to a file of ours (written through)",
         [](const std::string& p, const std::string& e) { (void)!link(e.c_str(), p.c_str()); },
         [] { return std::string("2 links"); }, false},
        {"a hard link to another user's file",
         [](const std::string& p, const std::string& e) {
             (void)!chown(e.c_str(), kOtherUser, static_cast<gid_t>(-1));
             (void)!link(e.c_str(), p.c_str());
         },
         foreign_reason, true},
        {"a FIFO", [](const std::string& p, const std::string&) { mkfifo(p.c_str(), 0644); },
         [] { return std::string("not a regular file"); }, false},
        {"a folder", [](const std::string& p, const std::string&) { mkdir(p.c_str(), 0755); },
         [] { return std::string("not a regular file"); }, false},
    };
    return cases;
}

// A file another user could plant in a log file's place is not written, and standard output says
// why, once. In the full log's place it is ignored: the failures still reach the failure log.
TEST(Sink, FilesOthersCouldPlantAreNotWritten) {
    for (bool full_log : {true, false}) {
        for (const Planted& c : planted()) {
            SCOPED_TRACE(std::string(c.what) + (full_log ? " as the full log" : " as the failure log"));
            if (c.needs_root && geteuid() != 0) continue;
            DriverDir d;
            const std::string fail = d.log_dir() + "runlog_" + today() + "_.txt";
            const std::string place = full_log ? d.log_dir() + "runlog_" + today() + ".txt" : fail;
            const std::string elsewhere = d.root + "elsewhere.txt";
            qvtest::write_text(elsewhere, "kept");
            c.make(place, elsewhere);
            ChildResult r = log_lines(d, {{"progress", 0}, {"broken", 1}, {"again", 0}, {"twice", 1}});
            ASSERT_EQ(r.status, 0);
            EXPECT_EQ(count_of(r.out, " unit_src "), 4) << "every line is printed";
            EXPECT_EQ(count_of(r.out, "the log file is not written. [ " + place + " ] " + c.why() + "\n"), 1) << r.out;
            if (full_log) {
                std::vector<std::string> failures = qvtest::split_lines(qvtest::read_text(fail));
                ASSERT_EQ(failures.size(), 2u);
                EXPECT_NE(failures[0].find(" unit_src 11 broken"), std::string::npos);
                EXPECT_NE(failures[1].find(" unit_src 13 twice"), std::string::npos);
            }
            EXPECT_EQ(qvtest::read_text(elsewhere), "kept");
            struct stat st {};
            if (lstat(place.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
                EXPECT_EQ(qvtest::read_text(place), "") << "nothing for another user to read";
            }
        }
    }
}

// A failure log of ours that others could edit (an older version made them 0666) is closed to them.
TEST(Sink, OwnLogsOthersCouldEditAreClosedToThem) {
    DriverDir d;
    const std::string fail = d.log_dir() + "runlog_" + today() + "_.txt";
    qvtest::write_text(fail, "");
    chmod(fail.c_str(), 0666);
    ChildResult r = log_lines(d, {{"broken", 1}});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(qvtest::split_lines(qvtest::read_text(fail)).size(), 1u);
    EXPECT_EQ(mode_of(fail), 0644u);
}

// Another user's files neither go nor count towards the seven kept, so newer ones planted by
// them cannot push out the service's own logs.
TEST(Sink, PruningLeavesOtherUsersFilesAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make another user's files";
    DriverDir d;
    const time_t base = 1600000000;
    std::vector<std::string> foreign;
    for (int i = 0; i < 2; i++) foreign.push_back(d.log_dir() + "oldest_foreign" + std::to_string(i) + ".txt");
    for (int i = 0; i < 7; i++) foreign.push_back(d.log_dir() + "newer_foreign" + std::to_string(i) + ".txt");
    for (size_t i = 0; i < foreign.size(); i++) {
        touch_at(foreign[i], i < 2 ? base + static_cast<time_t>(i) : base + 10000 + static_cast<time_t>(i));
        (void)!chown(foreign[i].c_str(), kOtherUser, static_cast<gid_t>(-1));
    }
    for (int i = 0; i < 8; i++) touch_at(d.log_dir() + "own" + std::to_string(i) + ".txt", base + 100 + i);
    ChildResult r = log_lines(d, {{"broken", 1}});  // today's failure log: 9 of ours, 2 go
    ASSERT_EQ(r.status, 0);
    for (const std::string& f : foreign) EXPECT_TRUE(qvtest::exists(f)) << f;
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(qvtest::exists(d.log_dir() + "own" + std::to_string(i) + ".txt"), i >= 2) << i;
    EXPECT_TRUE(qvtest::exists(d.log_dir() + "runlog_" + today() + "_.txt"));
}

TEST(Sink, PrunesToTheSevenNewestOncePerProcessDay) {
    DriverDir d;
    // Nine files, the oldest first by modification time.
    for (int i = 0; i < 9; i++) {
        std::string p = d.log_dir() + "runlog_2020010" + std::to_string(i + 1) + "_.txt";
        qvtest::write_text(p, "x");
        struct timeval tv[2] = {{1600000000 + i * 100, 0}, {1600000000 + i * 100, 0}};
        utimes(p.c_str(), tv);
    }
    qvtest::write_text(d.log_dir() + "keep.log", "not a .txt");
    mkdir((d.log_dir() + "dir.txt").c_str(), 0755);
    std::string full = d.log_dir() + "runlog_" + today() + ".txt";
    ChildResult r = qvtest::run_child([&] {
        void* h = qvtest::load_driver(d);
        auto log = qvtest::fn<LogFn>(h, kWriteErrorLog);
        log("unit_src", 1, "broken", 1);  // creates today's failure log: 10 files, 3 go
        for (int i = 0; i < 4; i++) qvtest::write_text(d.log_dir() + "late" + std::to_string(i) + ".txt", "y");
        log("unit_src", 2, "again", 1);  // same day: nothing more is pruned
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    for (int i = 0; i < 3; i++)
        EXPECT_FALSE(qvtest::exists(d.log_dir() + "runlog_2020010" + std::to_string(i + 1) + "_.txt")) << i;
    for (int i = 3; i < 9; i++)
        EXPECT_TRUE(qvtest::exists(d.log_dir() + "runlog_2020010" + std::to_string(i + 1) + "_.txt")) << i;
    EXPECT_EQ(mu_file_cnt(d.log_dir(), "*.txt"), 7 + 4);
    EXPECT_TRUE(qvtest::exists(d.log_dir() + "keep.log"));
    EXPECT_TRUE(qvtest::exists(d.log_dir() + "dir.txt"));
    (void)full;
}

// Pattern characters in the driver's folder name are taken literally by the pruning.
TEST(Sink, PrunesItsOwnFolderWhateverItIsNamed) {
    DriverDir d;
    std::string odd = d.root + "we[i]rd*?/", other = d.root + "weirdzz/";
    for (const std::string& f : {odd, other}) {
        mkdir(f.c_str(), 0755);
        mkdir((f + "runlog").c_str(), 0777);
        for (int i = 0; i < 9; i++) {
            std::string p = f + "runlog/old" + std::to_string(i) + ".txt";
            qvtest::write_text(p, "x");
            struct timeval tv[2] = {{1600000000 + i * 100, 0}, {1600000000 + i * 100, 0}};
            utimes(p.c_str(), tv);
        }
    }
    qvtest::write_text(odd + "libveinsdk.so", qvtest::read_text(d.lib));
    ChildResult r = qvtest::run_child([&] {
        void* h = dlopen((odd + "libveinsdk.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return 3;
        qvtest::fn<LogFn>(h, kWriteErrorLog)("unit_src", 1, "broken", 1);
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(qvtest::exists(odd + "runlog/runlog_" + today() + "_.txt"));
    EXPECT_EQ(mu_file_cnt(odd + "runlog/", "*.txt"), 7);
    EXPECT_FALSE(qvtest::exists(odd + "runlog/old2.txt"));
    EXPECT_TRUE(qvtest::exists(odd + "runlog/old3.txt"));
    EXPECT_EQ(mu_file_cnt(other + "runlog/", "*.txt"), 9) << "another folder is not touched";
}

TEST(Sink, PruningHelpers) {
    std::string dir = qvtest::make_temp_dir("prune");
    for (int i = 0; i < 5; i++) {
        std::string p = dir + "f" + std::to_string(i) + ".txt";
        qvtest::write_text(p, "x");
        struct timeval tv[2] = {{1600000000 + (5 - i) * 100, 0}, {1600000000 + (5 - i) * 100, 0}};
        utimes(p.c_str(), tv);
    }
    qvtest::write_text(dir + "a name with spaces.txt", "x");
    struct timeval old[2] = {{1500000000, 0}, {1500000000, 0}};
    utimes((dir + "a name with spaces.txt").c_str(), old);
    DriverDir d;
    ChildResult r = qvtest::run_child([&] {
        void* h = qvtest::load_driver(d);
        auto cnt = qvtest::fn<CountFn>(h, kFileCnt);
        auto del = qvtest::fn<DelFn>(h, kDelLog);
        int all = cnt(dir, "*.txt"), none = cnt(dir, "*.bin");
        int kept = del(dir, "*.txt", 6);
        int gone = del(dir, "*.txt", 3);
        printf("%d %d %d %d %d", all, none, kept, gone, cnt(dir + "missing/", "*.txt"));
        return 0;
    });
    EXPECT_EQ(r.out, "6 0 0 3 0");
    EXPECT_FALSE(qvtest::exists(dir + "a name with spaces.txt"));
    EXPECT_FALSE(qvtest::exists(dir + "f4.txt"));
    EXPECT_FALSE(qvtest::exists(dir + "f3.txt"));
    EXPECT_TRUE(qvtest::exists(dir + "f2.txt"));
    qvtest::remove_tree(dir);
}

TEST(OtherWriters, DayFileAndApplicationFolderLog) {
    DriverDir d;
    std::string beside = d.root + "runlog_" + today() + ".txt";
    ChildResult r = qvtest::run_child([&] {
        void* h = qvtest::load_driver(d);
        auto ex = qvtest::fn<LogExFn>(h, kWriteLogFileEx);
        ex("src_a", 7, "value %d of %s", 42, "x");  // printed only: no file beside the library
        qvtest::write_text(beside, "");
        ex("src_a", 8, "second %s", "y");
        qvtest::fn<LogFileFn>(h, kWriteLogFile)("plain message");
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> printed = qvtest::split_lines(r.out);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_NE(printed[0].find(" src_a 7 value 42 of x"), std::string::npos);
    std::vector<std::string> written = qvtest::split_lines(qvtest::read_text(beside));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find(" src_a 8 second y"), std::string::npos);
    std::string day = d.log_dir() + today() + "_logfile.txt";
    std::string text = qvtest::read_text(day);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d plain message\n)"))) << text;
    EXPECT_EQ(mode_of(day), 0640u);
}

TEST(AppPath, AbsoluteAndRelativeLoads) {
    DriverDir d;
    std::string sub = d.root + "a/b/";
    qvtest::remove_tree(sub);
    mkdir((d.root + "a").c_str(), 0755);
    mkdir(sub.c_str(), 0755);
    // Where the library is loaded from, the working directory, and the folder expected.
    struct Case {
        std::string load;
        std::string cwd;
        std::string want;
    } cases[] = {
        {d.lib, "/", d.root},
        {"./libveinsdk.so", d.root, d.root},
        {"./a/../libveinsdk.so", d.root, d.root},
        {"../../libveinsdk.so", sub, d.root},
        {"a/../libveinsdk.so", d.root, d.root},
    };
    for (const Case& c : cases) {
        ChildResult r = qvtest::run_child([&] {
            if (chdir(c.cwd.c_str()) != 0) return 2;
            void* h = dlopen(c.load.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (h == nullptr) return 3;
            printf("%s|%s", qvtest::fn<PathFn>(h, kAppPath)().c_str(), qvtest::fn<PathFn>(h, kSelfName)().c_str());
            return 0;
        });
        EXPECT_EQ(r.status, 0) << c.load;
        EXPECT_EQ(r.out, c.want + "|libveinsdk.so") << c.load << " from " << c.cwd;
    }
}

}  // namespace
