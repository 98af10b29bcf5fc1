// The deliverables load, and their dynamic symbol tables hold exactly the committed export lists:
// a lost export or a leaked internal fails here.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "command_output.h"

namespace {

// The demangled names of the defined dynamic symbols, as "nm -D --defined-only -C" lists them.
std::set<std::string> exported(const std::string& lib) {
    std::set<std::string> names;
    std::string text = qvtest::command_output("nm -D --defined-only -C '" + lib + "'");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        // "<address> <type> <name>"; the name may hold spaces.
        size_t a = line.find(' ');
        size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos) continue;
        std::string name = line.substr(b + 1);
        // AddressSanitizer's markers of instrumented globals, present only in sanitized builds.
        if (name.rfind("__odr_asan", 0) == 0) continue;
        names.insert(name);
    }
    return names;
}

std::set<std::string> listed(const std::string& file) {
    std::set<std::string> names;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        names.insert(line);
    }
    return names;
}

std::string difference(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::string out;
    for (const std::string& s : a)
        if (b.count(s) == 0) out += "  " + s + "\n";
    return out;
}

void expect_exports(const std::string& lib, const std::string& list) {
    std::set<std::string> want = listed(list);
    ASSERT_FALSE(want.empty()) << "cannot read " << list;
    std::set<std::string> have = exported(lib);
    ASSERT_FALSE(have.empty()) << "nm (binutils) found no symbols in " << lib;
    std::string missing = difference(want, have);
    std::string extra = difference(have, want);
    EXPECT_TRUE(missing.empty()) << lib << " lacks exports listed in " << list << ":\n" << missing;
    EXPECT_TRUE(extra.empty()) << lib << " exports symbols not listed in " << list << ":\n" << extra;
}

TEST(Deliverables, LibrariesLoad) {
    void* sdk = dlopen(VEINSDK_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(sdk, nullptr) << dlerror();
    dlclose(sdk);
    void* alg = dlopen(VEINALG_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(alg, nullptr) << dlerror();
    dlclose(alg);
}

TEST(Deliverables, DriverLibraryExportsExactlyItsList) {
    expect_exports(VEINSDK_PATH, EXPORT_LISTS "/exports_libveinsdk.txt");
}

TEST(Deliverables, RecognitionLibraryExportsExactlyItsList) {
    expect_exports(VEINALG_PATH, EXPORT_LISTS "/exports_libveinalg.txt");
}

}  // namespace
