// Daily log files: routing of the sink, line format and pruning of the log folder.
#include "qv_log.h"

#include <fcntl.h>
#include <glob.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "qv_utils.h"

namespace {

constexpr size_t kFormatLimit = 1048576;
constexpr int kKeepLogs = 7;
constexpr unsigned kLogDirMode = 01777;  // world-writable, but nobody may remove another's file
constexpr unsigned kLogFileMode = 0666;

pthread_mutex_t g_pruneLock = PTHREAD_MUTEX_INITIALIZER;
char g_lastPruneDay[16] = "20000101";
char g_curDay[16] = "";

std::string log_line(const char* file, int line, const std::string& message) {
    int32_t low = static_cast<int32_t>(static_cast<uint32_t>(get_millisecond() & 0xFFFFFFFF));
    int counter = std::abs(low % 999);
    return get_system_time(0) + str_format(" %03d %s %d ", counter, file != nullptr ? file : "", line) + message;
}

bool path_present(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Appends text + "\n" to a regular file, never through a symbolic link. A file made here gets
// kLogFileMode through its descriptor.
void append_line(const std::string& path, const std::string& text, bool may_create) {
    const int base = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    bool created = false;
    int fd = -1;
    if (may_create) {
        fd = open(path.c_str(), base | O_CREAT | O_EXCL, kLogFileMode);
        created = fd >= 0;
    }
    if (fd < 0) fd = open(path.c_str(), base);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return;
    }
    if (created) fchmod(fd, kLogFileMode);
    std::string out = text + "\n";
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

struct LogFile {
    std::string path;
    struct timespec mtime;
};

// Regular files named by the file pattern dir + pattern (expanded as the shell would, without
// one), oldest modification first.
std::vector<LogFile> list_files(const std::string& dir, const std::string& pattern) {
    std::vector<LogFile> files;
    glob_t g{};
    if (glob((dir + pattern).c_str(), 0, nullptr, &g) == 0) {
        try {
            for (size_t i = 0; i < g.gl_pathc; i++) {
                struct stat st {};
                if (lstat(g.gl_pathv[i], &st) != 0 || !S_ISREG(st.st_mode)) continue;
                files.push_back({g.gl_pathv[i], st.st_mtim});
            }
        } catch (...) {
            globfree(&g);
            throw;
        }
    }
    globfree(&g);
    std::stable_sort(files.begin(), files.end(), [](const LogFile& a, const LogFile& b) {
        if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec < b.mtime.tv_sec;
        if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec < b.mtime.tv_nsec;
        return a.path < b.path;
    });
    return files;
}

// The log folder taken literally inside a file pattern.
std::string pattern_quote(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

void prune_once_a_day(const std::string& dir) {
    const std::string files = pattern_quote(dir);  // may throw: before the lock is taken
    pthread_mutex_lock(&g_pruneLock);
    std::string today = get_system_time(4);
    snprintf(g_curDay, sizeof g_curDay, "%s", today.c_str());
    bool prune = strcmp(g_curDay, g_lastPruneDay) != 0;
    if (prune) snprintf(g_lastPruneDay, sizeof g_lastPruneDay, "%s", g_curDay);
    if (prune) mu_del_log(files, "*.txt", kKeepLogs);
    pthread_mutex_unlock(&g_pruneLock);
}

}  // namespace

void write_error_log(const char* file, int line, std::string message, int force) {
    try {
        std::string text = log_line(file, line, message);
        fprintf(stdout, "%s\n", text.c_str());
        fflush(stdout);

        std::string app = get_application_path();
        if (app.empty()) return;
        std::string dir = app + "runlog/";
        if (!path_present(dir)) make_dirs(dir, kLogDirMode);
        std::string date = get_system_time(4);
        std::string target = dir + "runlog_" + date + ".txt";
        bool may_create = false;
        if (!path_present(target)) {
            if (force == 0) return;
            target = dir + "runlog_" + date + "_.txt";
            may_create = true;
        }
        append_line(target, text, may_create);
        prune_once_a_day(dir);
    } catch (...) {
        // The sink never fails visibly.
    }
}

void write_log_fileEx(const char* file, int line, const char* fmt, ...) {
    if (fmt == nullptr) return;
    try {
        std::unique_ptr<char[]> buf(new (std::nothrow) char[kFormatLimit]);
        if (!buf) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf.get(), kFormatLimit, fmt, ap);
        va_end(ap);
        if (n < 0) buf[0] = 0;
        std::string text = log_line(file, line, buf.get());
        fprintf(stdout, "%s\n", text.c_str());
        fflush(stdout);
        std::string app = get_application_path();
        if (app.empty()) return;
        std::string target = app + "runlog_" + get_system_time(4) + ".txt";
        if (path_present(target)) append_line(target, text, false);
    } catch (...) {}
}

void write_log_file(std::string message) {
    try {
        std::string text = get_system_time(0) + " " + message;
        std::string app = get_application_path();
        if (app.empty()) return;
        std::string dir = app + "runlog/";
        if (!path_present(dir)) make_dirs(dir, kLogDirMode);
        append_line(dir + get_system_time(4) + "_logfile.txt", text, true);
    } catch (...) {}
}

int mu_file_cnt(std::string dir, std::string pattern) {
    try {
        return static_cast<int>(list_files(dir, pattern).size());
    } catch (...) {
        return 0;
    }
}

int mu_del_log(std::string dir, std::string pattern, int keep) {
    try {
        std::vector<LogFile> files = list_files(dir, pattern);
        int n = static_cast<int>(files.size());
        if (keep < 0) keep = 0;
        if (n <= keep) return 0;
        for (int i = 0; i < n - keep; i++) unlink(files[static_cast<size_t>(i)].path.c_str());
        return n - keep;
    } catch (...) {
        return 0;
    }
}
