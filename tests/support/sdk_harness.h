// Test harness for the driver as the service sees it: a private copy of libveinsdk in a driver
// folder of its own, fake lsusb/aplay/arch first on PATH, and each scenario in a child process
// (the driver reads its configuration once per process).
#pragma once

#include <dlfcn.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qvtest {

std::string make_temp_dir(const std::string& tag);  // fresh folder, path ends with "/"
void remove_tree(const std::string& dir);
void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);  // "" when missing
bool exists(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);
std::string today();  // the local date as the log files name it, YYYYMMDD

// The sixteen sound files, in event order.
extern const char* const kSoundFiles[16];

// A driver folder: libveinsdk.so, libs/, qvfv_config/config.json, sndfiles/ (16 files), runlog/.
class DriverDir {
public:
    // config: the text of config.json, or nullptr for no file.
    explicit DriverDir(const char* config = "{}");
    struct Installed {};
    // The folder as `cmake --install` lays it out (shipped configuration and sounds), in a staging root.
    explicit DriverDir(Installed);
    ~DriverDir();
    DriverDir(const DriverDir&) = delete;
    DriverDir& operator=(const DriverDir&) = delete;

    void set_config(const std::string& text);
    void remove_config();
    // Copies a recognition library into libs/ under its own file name (libveinalg_<family>.so).
    void install_alg(const std::string& from);
    void remove_alg();
    std::string config_path() const { return root + "qvfv_config/config.json"; }
    std::string log_dir() const { return root + "runlog/"; }

    std::string root;  // ends with "/"
    std::string lib;   // root + "libveinsdk.so"

private:
    std::string stage_;  // what to remove: root itself, or the staging root of an install
};

// Scripts first on PATH that record their arguments, one call per line, in <dir><name>.calls.
class FakeBin {
public:
    FakeBin();
    ~FakeBin();
    FakeBin(const FakeBin&) = delete;
    FakeBin& operator=(const FakeBin&) = delete;

    // lsusb prints the lines of `listing` that contain "ID <vid:pid> " for "lsusb -d vid:pid".
    void set_lsusb(const std::string& listing);
    void set_arch(const std::string& output);
    void add_script(const std::string& name, const std::string& body);
    std::vector<std::string> calls(const std::string& name) const;
    std::string path_env() const;  // dir + the system folders

    std::string dir;  // ends with "/"
};

struct ChildResult {
    int status = -1;  // exit code, or 128 + signal
    std::string out;  // everything the child wrote on standard output
};

// Environment changes of a child: a nullptr value unsets.
using Env = std::vector<std::pair<std::string, const char*>>;

// Runs fn in a forked child with the environment changes applied.
ChildResult run_child(const std::function<int()>& fn, const Env& env = {});

// In a child: loads the driver copy (RTLD_LOCAL) and looks up symbols; aborts the child on failure.
void* load_driver(const DriverDir& d);
void* symbol(void* handle, const char* name);
template <class F>
F fn(void* handle, const char* name) {
    return reinterpret_cast<F>(symbol(handle, name));
}

}  // namespace qvtest

namespace qvtest {
// The lines a child printed with a leading "@" (its results, apart from the driver's log lines),
// without the "@".
std::vector<std::string> results(const std::string& out);
// Runs a program with an environment of exactly these variables; stdout and stderr together.
ChildResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env);
}  // namespace qvtest
