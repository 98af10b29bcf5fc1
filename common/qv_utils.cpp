// Time, text, hex, file, path and command utilities.
#include "qv_utils.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "qv_log.h"
#include "qv_owners.h"

extern char** environ;

namespace {

constexpr size_t kFormatLimit = 1048576;  // str_format's whole buffer, NUL included
constexpr size_t kCmdChunk = 1024;
constexpr int kExePathMax = 1024;
constexpr const char* kRuleFile = "/etc/udev/rules.d/70-libusb.rules";
constexpr const char* kSrc = "qv_utils.cpp";
constexpr size_t kOutputLimit = 1048576;  // a program's output kept; the rest is read and dropped
constexpr int kWaitSliceMs = 100;         // how often a running program's end is looked for
constexpr int64_t kSoundMarginMs = 2000;  // beyond the sound's length: aplay's start and the device
constexpr unsigned kDirMode = 0755;
constexpr unsigned kFileMode = 0644;

// The object file that holds this function: libveinsdk itself.
std::string self_object_name() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&self_object_name), &info) == 0 || info.dli_fname == nullptr) return "";
    return info.dli_fname;
}

// Lexically resolves "." and ".." pieces of an absolute directory that ends with "/".
std::string normalise_dir(const std::string& dir) {
    std::vector<std::string> parts;
    for (const std::string& p : str_split(dir, "/")) {
        if (p.empty() || p == ".") continue;
        if (p == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(p);
    }
    std::string out = "/";
    for (const std::string& p : parts) out += p + "/";
    return out;
}

void chmod_dir_nofollow(std::string dir, unsigned mode) {
    // A trailing "/" would make the kernel follow a link in the last place despite O_NOFOLLOW.
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    fchmod(fd, mode);
    close(fd);
}

uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool pread_all(int fd, unsigned char* buf, size_t n, off_t at) {
    while (n > 0) {
        ssize_t got = pread(fd, buf, n, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buf += got;
        n -= static_cast<size_t>(got);
        at += got;
    }
    return true;
}

// Playing time of a WAV file by its header: the data chunk's bytes (at most what the file holds)
// over the format's bytes per second. 0 when the header does not tell.
int64_t wav_length_ms(const std::string& path) {
    qv::UniqueFd owner(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!owner.valid()) return 0;
    const int fd = owner.get();
    int64_t ms = 0;
    struct stat st {};
    unsigned char h[16];
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pread_all(fd, h, 12, 0) && memcmp(h, "RIFF", 4) == 0 &&
        memcmp(h + 8, "WAVE", 4) == 0) {
        const uint64_t file_size = static_cast<uint64_t>(st.st_size);
        uint64_t rate = 0, pos = 12;
        // "fmt " and "data" come within the first few chunks ("LIST", "fact" may sit between).
        for (int i = 0; i < 64 && pos + 8 <= file_size; i++) {
            if (!pread_all(fd, h, 8, static_cast<off_t>(pos))) break;
            const uint64_t size = le32(h + 4);
            if (memcmp(h, "fmt ", 4) == 0 && size >= 16) {
                if (!pread_all(fd, h, 16, static_cast<off_t>(pos + 8))) break;
                rate = le32(h + 8);
            } else if (memcmp(h, "data", 4) == 0) {
                const uint64_t bytes = std::min(size, file_size - pos - 8);
                if (rate > 0) ms = static_cast<int64_t>(bytes * 1000 / rate);
                break;
            }
            pos += 8 + size + (size & 1);
        }
    }
    return ms;
}

// Reads what the pipe holds without waiting, keeping at most kOutputLimit bytes in *out (when
// given). False once the pipe is at its end (or broken).
bool drain(int fd, std::string* out) {
    char buf[kCmdChunk * 4];
    // A bounded number of reads, so that a writer faster than this loop cannot keep it here.
    for (int i = 0; i < 64; i++) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) return false;
        if (out != nullptr && out->size() < kOutputLimit) {
            try {
                out->append(buf, std::min(static_cast<size_t>(n), kOutputLimit - out->size()));
            } catch (...) {
                out->clear();
            }
        }
    }
    return true;
}

enum class Ended { NotStarted, Exited, Killed };

// The one way the driver starts a program: args[0] looked up on PATH with exactly these arguments
// (no shell), its standard output (and with both_outputs its standard error) into a pipe read into
// *out, in a process group of its own. Returns once the program has ended, or once deadline_ms have
// passed and it has been killed with everything it started (a forced log line says so); it is
// reaped either way. The descriptors made here are close-on-exec: the program gets 0, 1 and 2 only.
Ended run_program(const std::vector<std::string>& args, int64_t deadline_ms, bool both_outputs, std::string* out) {
    if (args.empty()) return Ended::NotStarted;
    std::vector<std::string> copy;
    std::vector<char*> argv;
    try {
        copy = args;
        for (std::string& a : copy) argv.push_back(&a[0]);
        argv.push_back(nullptr);
    } catch (...) {
        return Ended::NotStarted;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return Ended::NotStarted;
    qv::UniqueFd reader(fds[0]), writer(fds[1]);
    // Only this end waits for nothing; the program's end behaves as it expects.
    fcntl(reader.get(), F_SETFL, O_NONBLOCK);
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&fa) != 0) return Ended::NotStarted;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return Ended::NotStarted;
    }
    posix_spawn_file_actions_adddup2(&fa, writer.get(), 1);
    if (both_outputs) posix_spawn_file_actions_adddup2(&fa, writer.get(), 2);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    writer.reset();  // the program holds the only writing end: its exit ends the pipe
    if (rc != 0) return Ended::NotStarted;
    const int64_t deadline = get_millisecond() + deadline_ms;
    bool pipe_open = true, killed = false;
    int status = 0, idle_ms = 1;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        // ECHILD: the host ignores SIGCHLD, so the kernel has reaped it already.
        bool ended = w == pid || (w < 0 && errno != EINTR);
        // What it wrote before it ended is in the pipe now, even if something it started holds the
        // pipe open.
        if (pipe_open) pipe_open = drain(reader.get(), out);
        if (ended) break;
        int64_t left = deadline - get_millisecond();
        if (left <= 0) {
            killed = true;
            break;
        }
        if (pipe_open) {
            pollfd p{reader.get(), POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
        } else {
            // Its output has ended and its exit follows at once: look again soon.
            poll(nullptr, 0, static_cast<int>(std::min<int64_t>(left, idle_ms)));
            idle_ms = std::min(idle_ms * 2, kWaitSliceMs);
        }
    }
    reader.reset();
    if (killed) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);  // also when it has left its group
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        std::string line;
        try {
            for (const std::string& a : args) line += (line.empty() ? "" : " ") + a;
        } catch (...) {}
        write_error_log(
            kSrc, __LINE__,
            str_format("%s: did not end within %lld ms, killed", line.c_str(), static_cast<long long>(deadline_ms)), 1);
    }
    return killed ? Ended::Killed : Ended::Exited;
}

}  // namespace

// ---------------------------------------------------------------- time

int64_t get_millisecond() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string get_system_time(int kind) {
    try {
        time_t now = time(nullptr);
        tm t{};
        localtime_r(&now, &t);
        int y = t.tm_year + 1900, mo = t.tm_mon + 1, d = t.tm_mday;
        int h = t.tm_hour, mi = t.tm_min, s = t.tm_sec;
        switch (kind) {
        case 0: return str_format("%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
        case 1: return str_format("%04d%02d%02d%02d%02d%02d", y, mo, d, h, mi, s);
        case 2: return str_format("%04d-%02d-%02d", y, mo, d);
        case 3: return str_format("%02d:%02d:%02d", h, mi, s);
        case 4: return str_format("%04d%02d%02d", y, mo, d);
        case 5: return str_format("%02d%02d%02d", h, mi, s);
        case 6: return str_format("%4d", y);
        case 7: {
            std::string full = str_format("%4d", y);
            return full.size() >= 4 ? full.substr(2, 2) : "";
        }
        case 8: return str_format("%02d", mo);
        case 9: return str_format("%02d", d);
        case 10: return str_format("%d", t.tm_wday == 0 ? 7 : t.tm_wday);
        default: return "";
        }
    } catch (...) {
        return "";
    }
}

int64_t is_timeout(int64_t& stamp, int secs) {
    int64_t now = get_millisecond();
    if (stamp == 0) {
        stamp = now;
        return secs;
    }
    return secs - (now - stamp) / 1000;
}

double get_ms_diff(int64_t& stamp) {
    int64_t now = get_millisecond();
    double d = static_cast<double>(now - stamp);
    stamp = now;
    return d;
}

int qv_sleep(int ms) {
    if (ms <= 0) return 0;
    // The microsecond count is kept exact beyond usleep's range by sleeping in whole-second steps.
    uint64_t us = static_cast<uint64_t>(ms) * 1000u;
    int r = 0;
    while (us > 0) {
        useconds_t step = static_cast<useconds_t>(us > 999999 ? 999999 : us);
        r = usleep(step);
        us -= step;
    }
    return r;
}

void free_malloc(char** p) {
    if (p == nullptr) return;
    free(*p);
    *p = nullptr;
}

double dtimediff(std::string unit, std::string t1, std::string t2) {
    try {
        auto to_secs = [](const std::string& text) {
            int f[6] = {0, 0, 0, 0, 0, 0};
            sscanf(text.c_str(), "%04d-%02d-%02d %02d:%02d:%02d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
            tm t{};
            t.tm_year = f[0] - 1900;
            t.tm_mon = f[1] - 1;
            t.tm_mday = f[2];
            t.tm_hour = f[3];
            t.tm_min = f[4];
            t.tm_sec = f[5];
            t.tm_isdst = 0;
            return mktime(&t);
        };
        double d = difftime(to_secs(t2), to_secs(t1));
        if (unit.empty()) return 0;
        switch (toupper(static_cast<unsigned char>(unit[0]))) {
        case 'D': return d / 86400;
        case 'H': return d / 3600;
        case 'M': return d / 60;
        case 'S': return d;
        default: return 0;
        }
    } catch (...) {
        return 0;
    }
}

// ---------------------------------------------------------------- text

std::string str_format(const char* fmt, ...) {
    if (fmt == nullptr) return "";
    try {
        char small[512];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(small, sizeof small, fmt, ap);
        va_end(ap);
        if (n < 0) return "";
        if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
        // Longer texts are cut at the limit of the work buffer.
        size_t cap = std::min(static_cast<size_t>(n) + 1, kFormatLimit);
        std::unique_ptr<char[]> buf(new (std::nothrow) char[cap]);
        if (!buf) return "";
        va_start(ap, fmt);
        n = vsnprintf(buf.get(), cap, fmt, ap);
        va_end(ap);
        if (n < 0) return "";
        return std::string(buf.get(), std::min(static_cast<size_t>(n), cap - 1));
    } catch (...) {
        return "";
    }
}

std::vector<std::string> str_split(std::string text, std::string delim) {
    try {
        std::vector<std::string> out;
        if (delim.empty()) {
            out.push_back(text);
            return out;
        }
        // The whole delimiter text separates pieces (every caller passes one character).
        size_t start = 0;
        size_t pos = text.find(delim, start);
        while (pos != std::string::npos) {
            out.push_back(text.substr(start, pos - start));
            start = pos + delim.size();
            pos = text.find(delim, start);
        }
        out.push_back(text.substr(start));
        return out;
    } catch (...) {
        return {};
    }
}

std::string str_to_lower(std::string text) {
    try {
        for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return text;
    } catch (...) {
        return "";
    }
}

std::string str_to_upper(std::string text) {
    try {
        for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return text;
    } catch (...) {
        return "";
    }
}

std::string str_trim(std::string text) {
    try {
        size_t b = text.find_first_not_of(' ');
        if (b == std::string::npos) return "";
        size_t e = text.find_last_not_of(' ');
        return text.substr(b, e - b + 1);
    } catch (...) {
        return "";
    }
}

std::string& str_replace(std::string& text, std::string search, std::string repl) {
    try {
        if (search.empty()) return text;
        size_t pos = text.find(search);
        while (pos != std::string::npos) {
            text.replace(pos, search.size(), repl);
            pos = text.find(search, pos + repl.size());
        }
        return text;
    } catch (...) {
        return text;
    }
}

int str_find(std::string text, std::string search) {
    try {
        size_t pos = str_to_lower(text).find(str_to_lower(search));
        return pos == std::string::npos ? -1 : static_cast<int>(pos);
    } catch (...) {
        return -1;
    }
}

std::string mu_int2str(int n) { return str_format("%d", n); }  // str_format does not throw

std::string BytesToHexStr(unsigned char* bytes, int n, char sep) {
    try {
        if (bytes == nullptr || n <= 0) return "";
        static const char kHex[] = "0123456789ABCDEF";
        std::string out;
        out.reserve(static_cast<size_t>(n) * 3);
        for (int i = 0; i < n; i++) {
            if (i > 0 && sep != 0) out += sep;
            out += kHex[bytes[i] >> 4];
            out += kHex[bytes[i] & 15];
        }
        return out;
    } catch (...) {
        return "";
    }
}

int HexStrToByteAry(std::string hex, unsigned char* out, int* count, char sep) {
    try {
        std::string clean = str_trim(hex);
        if (sep != 0) str_replace(clean, std::string(1, sep), "");
        int n = static_cast<int>(clean.size() / 2);
        if (count != nullptr) *count = n;
        if (out == nullptr) return n;
        unsigned int value = 0;  // a pair without a hex digit keeps the previous pair's value
        for (int i = 0; i < n; i++) {
            char pair[3] = {clean[2 * i], clean[2 * i + 1], 0};
            sscanf(pair, "%x", &value);
            out[i] = static_cast<unsigned char>(value & 0xFF);
        }
        return n;
    } catch (...) {
        if (count != nullptr) *count = 0;
        return 0;
    }
}

int int_buf_trans(int& value, unsigned char* buf, int len, bool to_buf) {
    if (buf == nullptr) {
        if (!to_buf) value = 0;
        return 0;
    }
    if (!to_buf) {
        if (len == 4)
            value = static_cast<int>((static_cast<uint32_t>(buf[0]) << 24) | (static_cast<uint32_t>(buf[1]) << 16) |
                                     (static_cast<uint32_t>(buf[2]) << 8) | buf[3]);
        else if (len == 2)
            value = (buf[0] << 8) | buf[1];
        else
            value = 0;
    } else {
        uint32_t v = static_cast<uint32_t>(value);
        if (len == 4) {
            buf[0] = static_cast<unsigned char>(v >> 24);
            buf[1] = static_cast<unsigned char>(v >> 16);
            buf[2] = static_cast<unsigned char>(v >> 8);
            buf[3] = static_cast<unsigned char>(v);
        } else if (len == 2) {
            buf[0] = static_cast<unsigned char>(v >> 8);
            buf[1] = static_cast<unsigned char>(v);
        }
    }
    return 0;
}

void imgdata_vertflip(unsigned char* img, int width, int height, int grey, unsigned char* out) {
    if (img == nullptr || width <= 0 || height <= 0) return;
    size_t row = static_cast<size_t>(width) * (grey != 0 ? 1 : 3);
    unsigned char* dst = out != nullptr ? out : img;
    std::unique_ptr<unsigned char[]> tmp(new (std::nothrow) unsigned char[row]);
    if (!tmp) return;
    for (int i = 0; i < height / 2; i++) {
        unsigned char* top = img + row * i;
        unsigned char* bottom = img + row * (height - 1 - i);
        memcpy(tmp.get(), top, row);
        memmove(dst + row * i, bottom, row);
        memcpy(dst + row * (height - 1 - i), tmp.get(), row);
    }
    if ((height & 1) != 0 && dst != img) memcpy(dst + row * (height / 2), img + row * (height / 2), row);
}

// ---------------------------------------------------------------- files, paths, commands

bool file_exist(const char* path) { return path != nullptr && access(path, F_OK) == 0; }

bool make_dirs(const std::string& dir, unsigned mode) {
    try {
        if (dir.empty()) return false;
        std::string cur;
        size_t pos = 0;
        while (pos <= dir.size()) {
            size_t next = dir.find('/', pos);
            if (next == std::string::npos) next = dir.size();
            cur = dir.substr(0, next);
            // Private until it has its mode, which the umask does not narrow.
            if (!cur.empty() && mkdir(cur.c_str(), 0700) == 0) chmod_dir_nofollow(cur, mode);
            pos = next + 1;
        }
        struct stat st {};
        return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    } catch (...) {
        return false;
    }
}

bool create_path(const char* dir) {
    try {
        if (dir != nullptr && *dir != 0) make_dirs(dir, kDirMode);
        return true;
    } catch (...) {
        return true;
    }
}

void play_sound(std::string file, int /*mode*/) {
    try {
        if (!file_exist(file.c_str())) return;
        run_program({"aplay", file}, wav_length_ms(file) + kSoundMarginMs, true, nullptr);
    } catch (...) {
        return;
    }
}

std::string run_cmd(std::string cmd) {
    FILE* p = popen(cmd.c_str(), "re");
    if (p == nullptr) return "";
    std::string out;
    try {
        char buf[kCmdChunk];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    } catch (...) {
        out.clear();
    }
    pclose(p);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string run_argv(const std::vector<std::string>& args, int64_t deadline_ms, bool* started) {
    std::string out;
    Ended e = run_program(args, deadline_ms, false, &out);
    if (started != nullptr) *started = e != Ended::NotStarted;
    return out;
}

std::string get_application_path() {
    try {
        std::string name = self_object_name();
        size_t slash = name.rfind('/');
        if (slash == std::string::npos) return "";
        std::string dir = name.substr(0, slash + 1);
        if (dir[0] == '/') return dir;
        // Loaded by a relative path: it is relative to the working directory.
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return "";
        return normalise_dir(std::string(cwd) + "/" + dir);
    } catch (...) {
        return "";
    }
}

std::string get_self_name() {
    try {
        std::string name = self_object_name();
        size_t slash = name.rfind('/');
        return slash == std::string::npos ? name : name.substr(slash + 1);
    } catch (...) {
        return "";
    }
}

int get_file_size(const char* path) {
    if (path == nullptr || *path == 0) return -3;
    FILE* f = fopen(path, "rbe");
    if (f == nullptr) return -18;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fclose(f);
    if (size < 0) return -18;
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

int read_file(const char* path, void* buffer, int n) {
    if (path == nullptr || *path == 0 || buffer == nullptr || n < 1) return 0;
    FILE* f = fopen(path, "rbe");
    if (f == nullptr) return 0;
    size_t got = fread(buffer, 1, static_cast<size_t>(n), f);
    fclose(f);
    return static_cast<int>(got);
}

int write_file(const char* path, void* data, int length, int append) {
    try {
        if (path == nullptr || *path == 0 || data == nullptr || length < 1) return 0;
        std::string p = path;
        size_t cut = p.rfind('\\');
        if (cut == std::string::npos || cut < 1) cut = p.rfind('/');
        if (cut != std::string::npos && cut >= 1) {
            std::string dir = p.substr(0, cut);
            if (!file_exist(dir.c_str())) create_path(dir.c_str());
        }
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append != 0 ? O_APPEND : O_TRUNC);
        // O_EXCL first tells whether this call made the file, so only a new file gets its mode.
        bool created = true;
        int fd = open(path, flags | O_EXCL, 0600);
        if (fd < 0 && errno == EEXIST) {
            created = false;
            fd = open(path, flags, 0600);
        }
        if (fd < 0) return 0;
        if (created) fchmod(fd, kFileMode);  // the same mode whatever the umask
        FILE* f = fdopen(fd, append != 0 ? "ab" : "wb");
        if (f == nullptr) {
            close(fd);
            return 0;
        }
        size_t n = fwrite(data, 1, static_cast<size_t>(length), f);
        fclose(f);
        return static_cast<int>(n);
    } catch (...) {
        return 0;
    }
}

std::string mu_read_txtfile(std::string path) {
    try {
        if (!file_exist(path.c_str())) return "";
        FILE* f = fopen(path.c_str(), "rbe");
        if (f == nullptr) return "";
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        fclose(f);
        size_t nul = out.find('\0');
        if (nul != std::string::npos) out.resize(nul);
        return out;
    } catch (...) {
        return "";
    }
}

bool read_regular_file(const std::string& path, size_t limit, std::string& text, std::string& why) {
    text.clear();
    why.clear();
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    bool ok = false;
    try {
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            why = std::string("cannot stat: ") + strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            why = "not a regular file";
        } else if (static_cast<unsigned long long>(st.st_size) > limit) {
            why = str_format("%lld bytes, more than %zu", static_cast<long long>(st.st_size), limit);
        } else {
            // Read one byte beyond the limit so that a file growing meanwhile is still refused.
            text.resize(limit + 1);
            size_t got = 0;
            ok = true;
            while (got < text.size()) {
                ssize_t n = read(fd, &text[got], text.size() - got);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    why = std::string("cannot read: ") + strerror(errno);
                    ok = false;
                    break;
                }
                if (n == 0) break;
                got += static_cast<size_t>(n);
            }
            if (ok && got > limit) {
                why = str_format("more than %zu bytes", limit);
                ok = false;
            }
            text.resize(ok ? got : 0);
        }
    } catch (...) {
        why = "out of memory";
        ok = false;
    }
    close(fd);
    if (!ok) text.clear();
    return ok;
}

std::string replaceable_by_others(const std::string& path) {
    try {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return "cannot be examined";
        if (st.st_uid != 0 && st.st_uid != geteuid()) return str_format("is owned by another user (uid %u)", st.st_uid);
        if ((st.st_mode & S_IWOTH) != 0) return "is writable by others";
        if ((st.st_mode & S_IWGRP) != 0) return "is writable by its group";
        return "";
    } catch (...) {
        return "cannot be examined";
    }
}

std::string get_temppath() { return "/tmp/"; }

bool is_rootrun() { return geteuid() == 0; }

std::string get_plattype() {
    try {
        std::string a = run_cmd("arch");
        if (a.find("x86_64") != std::string::npos) return "x86";
        if (a.find("aarch64") != std::string::npos) return "arm";
        if (a.find("mips64") != std::string::npos) return "mips";
        if (a.find("loongarch64") != std::string::npos) return "loong";
        return a;
    } catch (...) {
        return "";
    }
}

int get_selfinf(std::string& pid, std::string& name, std::string& dir) {
    try {
        char buf[kExePathMax] = {0};
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n < 1) return -1;
        std::string exe(buf, static_cast<size_t>(n));
        size_t slash = exe.rfind('/');
        pid = str_format("%d", static_cast<int>(getpid()));
        name = slash == std::string::npos ? exe : exe.substr(slash + 1);
        dir = slash == std::string::npos ? "" : exe.substr(0, slash + 1);
        return 0;
    } catch (...) {
        return -1;
    }
}

void mu_gen_rule_file() {
    try {
        if (!is_rootrun() || file_exist(kRuleFile)) return;
        // Only the maker's scanners: a blanket rule for sd*/sg* would hand every disk to every user.
        std::string text = std::string("# Quvera usb devices\nATTRS{idVendor}==\"") + QV_VENDOR_ID +
                           "\",MODE=\"0666\",OWNER=\"user\",GROUP=\"user\"";
        std::string path = kRuleFile;
        std::string dir = path.substr(0, path.rfind('/'));
        if (!file_exist(dir.c_str())) make_dirs(dir, 0755);
        std::string tmp = path + ".tmp";
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) return;
        fchmod(fd, 0644);
        bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ok = fsync(fd) == 0 && ok;
        close(fd);
        if (!ok || rename(tmp.c_str(), path.c_str()) != 0) unlink(tmp.c_str());
    } catch (...) {
        return;
    }
}

int mu_open_mutex(const char* /*name*/, void** /*handle*/) { return 0; }
void mu_free_mutex(void** /*handle*/) {}
std::string gen_guidstr() { return ""; }
int mu_myexec(const char* /*command*/, int /*flag*/, std::string& /*out*/) { return 0; }
int mu_systask(std::string /*a*/, std::string /*b*/, int /*n*/, systask_opt_flag /*flag*/) { return 0; }
