// Standard output of a shell command, for tests that ask the build's tools (nm, readelf, ...).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace qvtest {

// The command's whole standard output; *status, when given, gets its exit status (-1 when it could
// not run or did not exit).
inline std::string command_output(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace qvtest
