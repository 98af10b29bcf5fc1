// Free utilities of the driver: time and time-outs, text and hex, files and paths, commands and sounds.
// Text goes in and out as std::string by value; the empty string means failure or "nothing".
// Byte buffers passed in are owned by the caller; nothing returned needs freeing except where noted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qv_export.h"

// The maker's scanner ids, the supported list when the configuration names none.
constexpr const char* QV_DEFAULT_VIDPIDS = "3a5c:0610,3a5c:0611";
// USB vendor id of the maker's scanners, as written into the device-access rule file.
constexpr const char* QV_VENDOR_ID = "3a5c";
// How long one "lsusb -d" may take: it reads sysfs, so seconds mean it hangs.
constexpr int QV_LSUSB_DEADLINE_MS = 3000;

// ---- time ----
QV_EXPORT int64_t get_millisecond();              // monotonic clock in ms
QV_EXPORT std::string get_system_time(int kind);  // local date/time text by kind 0..10, else ""
// Seconds left of a time-out of `secs` started at `stamp` (0: starts it now). Expired when <= 0.
QV_EXPORT int64_t is_timeout(int64_t& stamp, int secs);
QV_EXPORT double get_ms_diff(int64_t& stamp);  // ms since stamp; stamp becomes now
QV_EXPORT int qv_sleep(int ms);                // returns at once for ms <= 0
QV_EXPORT void free_malloc(char** p);          // free(*p), *p = NULL
QV_EXPORT double dtimediff(std::string unit, std::string t1, std::string t2);

// ---- text ----
QV_EXPORT std::string str_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
QV_EXPORT std::vector<std::string> str_split(std::string text, std::string delim);
QV_EXPORT std::string str_to_lower(std::string text);
QV_EXPORT std::string str_to_upper(std::string text);
QV_EXPORT std::string str_trim(std::string text);
QV_EXPORT std::string& str_replace(std::string& text, std::string search, std::string repl);
QV_EXPORT int str_find(std::string text, std::string search);
QV_EXPORT std::string mu_int2str(int n);
QV_EXPORT std::string BytesToHexStr(unsigned char* bytes, int n, char sep);
// Writes *count = cleaned length / 2 bytes into out (the caller sizes it) and returns that count.
QV_EXPORT int HexStrToByteAry(std::string hex, unsigned char* out, int* count, char sep);
// Big-endian 2- or 4-byte integer between value and buf (to_buf chooses the direction). Always 0.
QV_EXPORT int int_buf_trans(int& value, unsigned char* buf, int len, bool to_buf);
// Flips rows (width bytes if grey else 3*width) into out, or in place when out is NULL.
QV_EXPORT void imgdata_vertflip(unsigned char* img, int width, int height, int grey, unsigned char* out);

// ---- files, paths, commands ----
QV_EXPORT bool file_exist(const char* path);
QV_EXPORT bool create_path(const char* dir);  // mkdir -p, new levels 0755; always true
// Plays the file with aplay and waits for it, at most the WAV header's length plus a margin.
QV_EXPORT void play_sound(std::string file, int mode);
QV_EXPORT std::string run_cmd(std::string cmd);  // shell command's stdout less one trailing "\n"
QV_EXPORT std::string get_application_path();    // directory of libveinsdk, ends with "/"
QV_EXPORT std::string get_self_name();           // file name of libveinsdk
QV_EXPORT int get_file_size(const char* path);   // bytes; -3 empty path; -18 cannot open
QV_EXPORT int read_file(const char* path, void* buffer, int n);
QV_EXPORT int write_file(const char* path, void* data, int length, int append);  // new files 0644
QV_EXPORT std::string mu_read_txtfile(std::string path);
QV_EXPORT std::string get_temppath();
QV_EXPORT bool is_rootrun();
QV_EXPORT std::string get_plattype();  // "x86", "arm", "mips", "loong" or arch's own text
QV_EXPORT int get_selfinf(std::string& pid, std::string& name, std::string& dir);
QV_EXPORT void mu_gen_rule_file();

// Exported stubs without function.
enum systask_opt_flag { SYSTASK_NONE = 0 };
QV_EXPORT int mu_open_mutex(const char* name, void** handle);
QV_EXPORT void mu_free_mutex(void** handle);
QV_EXPORT std::string gen_guidstr();
QV_EXPORT int mu_myexec(const char* command, int flag, std::string& out);
QV_EXPORT int mu_systask(std::string a, std::string b, int n, systask_opt_flag flag);

// ---- internal to the library ----
// Runs argv[0] found on PATH with exactly these arguments (no shell) and returns its stdout,
// or "" when it cannot be started; *started, when given, tells which. A program still running
// after deadline_ms is killed and reaped (a forced log line says so); what it wrote is returned.
std::string run_argv(const std::vector<std::string>& argv, int64_t deadline_ms, bool* started = nullptr);
// Reads the whole file at path when it is a regular file of at most `limit` bytes. The open never
// blocks (a FIFO or a device in its place is refused, not waited on). On failure `text` is empty
// and `why` says what was found.
bool read_regular_file(const std::string& path, size_t limit, std::string& text, std::string& why);
// Why another user could replace the file or folder at path (a link is followed), or "" when only
// root or the effective user can: it belongs to someone else, or its group or others may write it.
std::string replaceable_by_others(const std::string& path);
// mkdir -p of dir; every level it creates gets `mode` through its descriptor (never through a
// link). Existing levels are left as they are.
bool make_dirs(const std::string& dir, unsigned mode);
