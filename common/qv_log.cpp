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
constexpr unsigned kLogDirMode = 0755;
constexpr unsigned kLogFileMode = 0640;
constexpr const char* kSrc = "qv_log.cpp";

pthread_mutex_t g_sinkLock = PTHREAD_MUTEX_INITIALIZER;
char g_lastPruneDay[16] = "20000101";
char g_curDay[16] = "";
std::string g_lastNotice;  // the last reason printed for a log file not written

std::string log_line(const char* file, int line, const std::string& message) {
    int32_t low = static_cast<int32_t>(static_cast<uint32_t>(get_millisecond() & 0xFFFFFFFF));
    int counter = std::abs(low % 999);
    return get_system_time(0) + str_format(" %03d %s %d ", counter, file != nullptr ? file : "", line) + message;
}

bool path_present(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Why a file found in a log file's place may not be written: only a plain file of ours, so that
// nobody else chooses what the service writes to or who reads it.
std::string unfit_log(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_uid != geteuid())
        return str_format("owned by user %u, not %u", static_cast<unsigned>(st.st_uid),
                          static_cast<unsigned>(geteuid()));
    if (st.st_nlink != 1) return str_format("%lu links", static_cast<unsigned long>(st.st_nlink));
    return "";
}

// Opens a log file for appending when it is fit (or, with may_create, made here with
// kLogFileMode); -1 otherwise, with the reason in `why` (empty when it is just missing).
int open_log(const std::string& path, bool may_create, std::string& why) {
    why.clear();
    const int base = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            why = std::string("cannot be examined: ") + strerror(errno);
            return -1;
        }
        if (!may_create) return -1;
        int fd = open(path.c_str(), base | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            fchmod(fd, kLogFileMode);
            return fd;
        }
        if (errno != EEXIST) {
            why = std::string("cannot be created: ") + strerror(errno);
            return -1;
        }
        if (lstat(path.c_str(), &st) != 0) {
            why = std::string("cannot be examined: ") + strerror(errno);
            return -1;
        }
    }
    // Checked before the open, so that nothing else (a FIFO, a device) is ever opened, and again
    // on the descriptor, in case the name was swapped in between.
    why = unfit_log(st);
    if (!why.empty()) return -1;
    int fd = open(path.c_str(), base);
    if (fd < 0) {
        why = std::string("cannot be opened: ") + strerror(errno);
        return -1;
    }
    struct stat now {};
    if (fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        why = "replaced while being opened";
    } else {
        why = unfit_log(now);
    }
    if (!why.empty()) {
        close(fd);
        return -1;
    }
    // A log of ours that others could edit (made so by an older version) is closed to them.
    if ((now.st_mode & 022) != 0) fchmod(fd, now.st_mode & 07755);
    return fd;
}

// Prints, once for as long as it holds, why a log file is not written.
void notice_unfit(const std::string& path, const std::string& why) {
    const std::string notice = "the log file is not written. [ " + path + " ] " + why;
    pthread_mutex_lock(&g_sinkLock);
    bool is_new = notice != g_lastNotice;
    if (is_new) {
        try {
            g_lastNotice = notice;
        } catch (...) {}
    }
    pthread_mutex_unlock(&g_sinkLock);
    if (!is_new) return;
    fprintf(stdout, "%s\n", log_line(kSrc, __LINE__, notice).c_str());
    fflush(stdout);
}

void write_line(int fd, const std::string& text) {
    std::string out = text + "\n";
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

// Appends text + "\n" to the log file at path when it is fit; otherwise says why (once) and
// returns false. A file that is just missing (and not to be made) returns false quietly.
bool append_line(const std::string& path, const std::string& text, bool may_create) {
    std::string why;
    int fd = open_log(path, may_create, why);
    if (fd < 0) {
        if (!why.empty()) notice_unfit(path, why);
        return false;
    }
    write_line(fd, text);
    close(fd);
    return true;
}

struct LogFile {
    std::string path;
    struct timespec mtime;
};

// Regular files named by the file pattern dir + pattern (expanded as the shell would, without
// one), with own_only those of the effective user alone, oldest modification first.
std::vector<LogFile> list_files(const std::string& dir, const std::string& pattern, bool own_only) {
    std::vector<LogFile> files;
    glob_t g{};
    if (glob((dir + pattern).c_str(), 0, nullptr, &g) == 0) {
        try {
            for (size_t i = 0; i < g.gl_pathc; i++) {
                struct stat st {};
                if (lstat(g.gl_pathv[i], &st) != 0 || !S_ISREG(st.st_mode)) continue;
                if (own_only && st.st_uid != geteuid()) continue;
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
    pthread_mutex_lock(&g_sinkLock);
    std::string today = get_system_time(4);
    snprintf(g_curDay, sizeof g_curDay, "%s", today.c_str());
    bool prune = strcmp(g_curDay, g_lastPruneDay) != 0;
    if (prune) snprintf(g_lastPruneDay, sizeof g_lastPruneDay, "%s", g_curDay);
    if (prune) mu_del_log(files, "*.txt", kKeepLogs);
    pthread_mutex_unlock(&g_sinkLock);
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
        // The operator's full log when it is there and fit; else forced lines to the failure log.
        bool written = append_line(dir + "runlog_" + date + ".txt", text, false);
        if (!written && force != 0) written = append_line(dir + "runlog_" + date + "_.txt", text, true);
        if (written) prune_once_a_day(dir);
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
        append_line(target, text, false);
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
        return static_cast<int>(list_files(dir, pattern, false).size());
    } catch (...) {
        return 0;
    }
}

int mu_del_log(std::string dir, std::string pattern, int keep) {
    try {
        // Only files of ours: another user's files neither go nor count towards those kept.
        std::vector<LogFile> files = list_files(dir, pattern, true);
        int n = static_cast<int>(files.size());
        if (keep < 0) keep = 0;
        if (n <= keep) return 0;
        for (int i = 0; i < n - keep; i++) unlink(files[static_cast<size_t>(i)].path.c_str());
        return n - keep;
    } catch (...) {
        return 0;
    }
}
