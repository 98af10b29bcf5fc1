// Whole-file reading and writing of the image library.
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "img_buffer.h"
#include "img_checksum.h"

namespace {

bool PathOk(const char* path) { return path && *path; }

// Size of an open file, -1 when it cannot be positioned or does not fit an int.
long FileLength(FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return -1;
    long n = std::ftell(f);
    if (n < 0 || n > INT_MAX) return -1;
    return n;
}

}  // namespace

int ImgReadFile(const char* path, unsigned char** buf, int extra) {
    if (!PathOk(path) || !buf) return 0;
    FILE* f = std::fopen(path, "rbe");
    if (!f) return 0;
    if (extra < 0) extra = 0;
    long size = FileLength(f);
    int result = 0;
    if (size > 0 && size <= static_cast<long>(INT_MAX) - extra && std::fseek(f, 0, SEEK_SET) == 0) {
        int cap = 0;
        if (ReallocBytesExact(buf, &cap, static_cast<int>(size) + extra) &&
            std::fread(*buf, 1, static_cast<size_t>(size), f) == static_cast<size_t>(size)) {
            if (extra > 0) (*buf)[size] = 0;
            result = static_cast<int>(size);
        }
    }
    std::fclose(f);
    if (result == 0) FreeImgBuff(buf);
    return result;
}

unsigned char* ImgReadFileBuf(const char* path, int extra, int* size) {
    unsigned char* buf = nullptr;
    int n = ImgReadFile(path, &buf, extra);
    if (size) *size = n;
    return buf;
}

int ImgReadFileHead(const char* path, unsigned char* buf, int n) {
    if (!PathOk(path) || !buf || n < 1) return 0;
    FILE* f = std::fopen(path, "rbe");
    if (!f) return 0;
    size_t got = std::fread(buf, 1, static_cast<size_t>(n), f);
    std::fclose(f);
    return static_cast<int>(got);
}

int ImgFileSize(const char* path) {
    if (!PathOk(path)) return -3;
    FILE* f = std::fopen(path, "rbe");
    if (!f) return -18;
    long n = FileLength(f);
    std::fclose(f);
    return n < 0 ? -18 : static_cast<int>(n);
}

int ImgWriteFile(const char* path, const unsigned char* buf, int n, int append) {
    if (!PathOk(path) || !buf || n < 1) return 0;
    FILE* f = std::fopen(path, append ? "abe" : "wbe");
    if (!f) return 0;
    size_t put = std::fwrite(buf, 1, static_cast<size_t>(n), f);
    if (std::fclose(f) != 0) put = 0;
    return static_cast<int>(put);
}
