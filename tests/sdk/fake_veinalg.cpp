// Scripted stand-in for the recognition library, installed in a test driver folder's libs/.
// The folder named by $QV_FAKE_ALG holds "script" (lines "<function> <result> <result> ...":
// results are handed out in order and the last one repeats) and receives "calls", one line per call
// with its arguments. Functions without a script line succeed with the real library's lengths.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Image {
    unsigned char* data;
    int length;
};

std::map<std::string, size_t> g_next;

std::string dir() {
    const char* d = getenv("QV_FAKE_ALG");
    return d != nullptr ? std::string(d) + "/" : std::string("/nonexistent/");
}

// The next scripted result for fn, or def.
double next(const std::string& fn, double def) {
    FILE* f = fopen((dir() + "script").c_str(), "r");
    if (f == nullptr) return def;
    char line[4096];
    std::vector<double> values;
    while (fgets(line, sizeof line, f) != nullptr) {
        std::istringstream in(line);
        std::string name;
        in >> name;
        if (name != fn) continue;
        std::string v;
        while (in >> v) values.push_back(v == "nan" ? NAN : strtod(v.c_str(), nullptr));
    }
    fclose(f);
    if (values.empty()) return def;
    size_t& i = g_next[fn];
    double r = values[i < values.size() ? i : values.size() - 1];
    i++;
    return r;
}

void record(const std::string& text) {
    FILE* f = fopen((dir() + "calls").c_str(), "a");
    if (f == nullptr) return;
    fprintf(f, "%s\n", text.c_str());
    fclose(f);
}

bool zero_block(const void* p) {
    if (p == nullptr) return false;
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (int i = 0; i < 256; i++)
        if (b[i] != 0) return false;
    return true;
}

std::string images(const Image* im, int count) {
    std::string s;
    for (int i = 0; i < count && im != nullptr; i++) {
        bool bm = im[i].data != nullptr && im[i].length >= 2 && im[i].data[0] == 'B' && im[i].data[1] == 'M';
        s += " " + std::to_string(im[i].length) + (bm ? "BM" : "??");
    }
    return s;
}

void fill(void* out, int n, unsigned char seed) {
    unsigned char* o = static_cast<unsigned char*>(out);
    for (int i = 0; i < n; i++) o[i] = static_cast<unsigned char>(i * 7 + seed);
}

}  // namespace

FAKE_EXPORT int veinalg_init_handle(void* handle, unsigned long reserved) {
    record("init " + std::string(handle == nullptr ? "null" : "handle") + " " + std::to_string(reserved));
    return static_cast<int>(next("init", 0));
}

FAKE_EXPORT int veinalg_release_handle(void*) {
    record("release");
    return 0;
}

FAKE_EXPORT int veinalg_get_version_info(void*) {
    record("version");
    return 0;
}

FAKE_EXPORT int veinalg_image_quality(const unsigned char* grey, int width, int height) {
    record("quality " + std::to_string(width) + "x" + std::to_string(height) +
           (grey != nullptr ? " " + std::to_string(grey[0]) : ""));
    return static_cast<int>(next("quality", 1));
}

FAKE_EXPORT int veinalg_make_feature(void* handle, const Image* im, int count, void* out, int out_size, void* params) {
    record("make_feature " + std::string(handle == nullptr ? "null" : "handle") + " " + std::to_string(count) +
           images(im, count) + " out=" + std::to_string(out_size) + (zero_block(params) ? " params0" : " params?"));
    int n = static_cast<int>(next("make_feature", 25764));
    if (n > 0 && out != nullptr) fill(out, n < out_size ? n : out_size, 3);
    return n;
}

FAKE_EXPORT int veinalg_make_tmpl(void* handle, const Image* im, int count, void* out, void* params) {
    record("make_tmpl " + std::string(handle == nullptr ? "null" : "handle") + " " + std::to_string(count) +
           images(im, count) + (zero_block(params) ? " params0" : " params?"));
    int n = static_cast<int>(next("make_tmpl", 2972));
    if (n > 0 && out != nullptr) fill(out, n, 5);
    return n;
}

#ifndef QV_FAKE_WITHOUT_MATCH
FAKE_EXPORT double veinalg_match(void* handle, const void* a, int a_len, const void* b, int b_len, void* params) {
    (void)a;
    (void)b;
    record("match " + std::string(handle == nullptr ? "null" : "handle") + " " + std::to_string(a_len) + " " +
           std::to_string(b_len) + (zero_block(params) ? " params0" : " params?"));
    return next("match", 0.9);
}
#endif
